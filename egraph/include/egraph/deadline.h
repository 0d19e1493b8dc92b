#pragma once
// A time limit and the caller's interrupt, for long engine loops.
//
// The runner hands one to search, apply and rebuild so that they can stop inside a long
// loop instead of only between phases. Reading the clock costs tens of nanoseconds and
// asking the interrupt is the caller's cost, so loops tick a countdown and consult both
// only every few thousand units of work. A time limit is a normal way for a run to end
// (the loop reports it and the caller stops); an interrupt that says stop throws
// `tavrine::Interrupted` out of the whole engine call, leaving the e-graph half-updated:
// an interrupted e-graph may only be destroyed.
#include <chrono>
#include <cstdint>

#include "support/countdown.h"
#include "support/interrupt.h"

namespace egraph {

struct Deadline {
  using Clock = std::chrono::steady_clock;
  Clock::time_point start{};
  std::chrono::nanoseconds limit = std::chrono::nanoseconds::max();
  tavrine::Interrupt* interrupt = nullptr;

  bool timed() const noexcept { return limit != std::chrono::nanoseconds::max(); }
  // True once more than `limit` has elapsed since `start`.
  bool expired() const { return timed() && Clock::now() - start > limit; }
  // Throws tavrine::Interrupted when the interrupt says stop.
  void poll() const { tavrine::stop_if_requested(interrupt); }
};

// Ticks a countdown and consults the deadline every `kStride` units of work.
class DeadlineCheck {
 public:
  explicit DeadlineCheck(const Deadline* deadline) noexcept
      : deadline_(deadline != nullptr && (deadline->timed() || deadline->interrupt != nullptr) ? deadline : nullptr) {}

  // Counts `work` units; true when the time limit has passed (checked at most every
  // stride). Throws tavrine::Interrupted when the interrupt says stop.
  bool tick(std::int64_t work = 1) {
    if (!deadline_) return false;
    if (!countdown_.tick(work)) [[likely]] return false;
    deadline_->poll();
    return deadline_->expired();
  }

 private:
  const Deadline* deadline_;
  tavrine::Countdown countdown_;
};

}  // namespace egraph
