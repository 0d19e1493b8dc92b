#pragma once
// A time limit for long engine loops.
//
// The runner hands one to search, apply and rebuild so that they can stop inside a long
// loop instead of only between phases. Reading the clock costs tens of nanoseconds, so
// loops tick a countdown and read it only every few thousand steps.
#include <chrono>
#include <cstdint>

namespace egraph {

struct Deadline {
  using Clock = std::chrono::steady_clock;
  Clock::time_point start{};
  std::chrono::nanoseconds limit = std::chrono::nanoseconds::max();

  // True once more than `limit` has elapsed since `start`.
  bool expired() const { return Clock::now() - start > limit; }
};

// Ticks a countdown and consults the deadline every `kStride` units of work.
class DeadlineCheck {
 public:
  static constexpr std::int64_t kStride = 4096;
  explicit DeadlineCheck(const Deadline* deadline) noexcept : deadline_(deadline) {}

  // Counts `work` units; true when the deadline has passed (checked at most every stride).
  bool tick(std::int64_t work = 1) {
    if (!deadline_) return false;
    budget_ -= work;
    if (budget_ > 0) return false;
    budget_ = kStride;
    return deadline_->expired();
  }

 private:
  const Deadline* deadline_;
  std::int64_t budget_ = kStride;
};

}  // namespace egraph
