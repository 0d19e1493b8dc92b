#pragma once
// Asking a long computation to stop.
//
// Long loops of the core (reductions, the e-graph run, reading and writing
// blobs) take an optional `Interrupt` from their caller and tick an
// `InterruptCheck` as they go. Every `kStride` units of work the check asks
// the interrupt whether to stop; when it says yes, the check throws
// `Interrupted`, which unwinds the computation to its caller. Computations
// that can be interrupted are built so that unwinding leaves every object
// that existed before the call exactly as it was (results under
// construction are simply dropped).
//
// The interrupt's `stop_requested` runs on the computing thread, between two
// units of work. It may take as long as it likes (the Python surface uses it
// to let the interpreter run its signal handlers every few milliseconds) and
// it may be called with a store or reducer lock held by the computing thread.
#include <cstdint>
#include <exception>

namespace tavrine {

// Thrown by InterruptCheck when the caller asked to stop.
class Interrupted final : public std::exception {
 public:
  const char* what() const noexcept override { return "interrupted"; }
};

class Interrupt {
 public:
  virtual ~Interrupt() = default;
  // True when the computation should stop now.
  virtual bool stop_requested() noexcept = 0;
};

// Says stop at its k-th question (never for k = 0) and counts the questions:
// run once with k = 0 to learn how many questions a computation asks, then
// stop it at each of them in turn.
class StopAt final : public Interrupt {
 public:
  explicit StopAt(std::uint64_t k) noexcept : k_(k) {}
  bool stop_requested() noexcept override { return ++asked == k_; }
  std::uint64_t asked = 0;

 private:
  std::uint64_t k_;
};

// Counts units of work and consults the interrupt every kStride units; a
// check without an interrupt never stops anything and costs one branch.
class InterruptCheck {
 public:
  static constexpr std::int64_t kStride = 4096;
  explicit InterruptCheck(Interrupt* interrupt) noexcept : interrupt_(interrupt) {}

  void tick(std::int64_t work = 1) {
    if (interrupt_ == nullptr) return;
    budget_ -= work;
    if (budget_ > 0) [[likely]] return;
    budget_ = kStride;
    if (interrupt_->stop_requested()) throw Interrupted();
  }
  // Consults the interrupt now (between phases).
  void poll() {
    budget_ = kStride;
    if (interrupt_ != nullptr && interrupt_->stop_requested()) throw Interrupted();
  }
  Interrupt* interrupt() const noexcept { return interrupt_; }

 private:
  Interrupt* interrupt_;
  std::int64_t budget_ = kStride;
};

}  // namespace tavrine
