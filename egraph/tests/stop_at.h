#pragma once
// An interrupt for the tests: it says stop at its k-th question (never for
// k = 0) and counts the questions. Run a computation once with k = 0 to learn
// how many questions it asks, then stop it at each of them in turn.
#include <cstdint>

#include "support/interrupt.h"

namespace tavrine::test {

class StopAt final : public Interrupt {
 public:
  explicit StopAt(std::uint64_t k) noexcept : k_(k) {}
  bool stop_requested() noexcept override { return ++asked == k_; }
  std::uint64_t asked = 0;

 private:
  std::uint64_t k_;
};

}  // namespace tavrine::test
