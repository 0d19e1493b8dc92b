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

#include "support/countdown.h"

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

// Throws Interrupted when there is an interrupt and it says stop.
inline void stop_if_requested(Interrupt* interrupt) {
  if (interrupt != nullptr && interrupt->stop_requested()) throw Interrupted();
}

// Counts units of work and consults the interrupt every kStride units; a
// check without an interrupt never stops anything and costs one branch.
class InterruptCheck {
 public:
  explicit InterruptCheck(Interrupt* interrupt) noexcept : interrupt_(interrupt) {}

  void tick(std::int64_t work = 1) {
    if (interrupt_ == nullptr) return;
    if (countdown_.tick(work)) [[unlikely]] stop_if_requested(interrupt_);
  }
  // Consults the interrupt now (between phases).
  void poll() {
    countdown_.restart();
    stop_if_requested(interrupt_);
  }
  Interrupt* interrupt() const noexcept { return interrupt_; }

 private:
  Interrupt* interrupt_;
  Countdown countdown_;
};

}  // namespace tavrine
