#pragma once
// Doing something costly only every so often inside a hot loop.
//
// Asking an interrupt whether to stop, or reading a clock, costs far more than
// one unit of the work around it. A loop ticks a `Countdown` once per unit (or
// per `work` units) and does the costly thing only when a tick says a stride
// has gone by: one subtraction and one well-predicted branch per tick.
#include <cstdint>

namespace tavrine {

class Countdown {
 public:
  static constexpr std::int64_t kStride = 4096;

  // Counts `work` units; true once they add up to a stride since the last
  // true (or the restart), the count then starting over.
  bool tick(std::int64_t work = 1) noexcept {
    budget_ -= work;
    if (budget_ > 0) [[likely]] return false;
    budget_ = kStride;
    return true;
  }
  // A whole stride again before the next true.
  void restart() noexcept { budget_ = kStride; }

 private:
  std::int64_t budget_ = kStride;
};

}  // namespace tavrine
