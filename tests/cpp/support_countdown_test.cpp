// The countdown of hot loops and the interrupt check built on it.
#include <gtest/gtest.h>

#include "stop_at.h"
#include "support/countdown.h"
#include "support/interrupt.h"

namespace tavrine {
namespace {

TEST(Countdown, SaysOncePerStride) {
  Countdown c;
  int said = 0;
  for (std::int64_t i = 1; i <= 3 * Countdown::kStride; ++i) {
    if (c.tick()) {
      ++said;
      EXPECT_EQ(i % Countdown::kStride, 0) << i;
    }
  }
  EXPECT_EQ(said, 3);
}

TEST(Countdown, CountsWorkAndStartsOverAfterARestart) {
  Countdown c;
  EXPECT_FALSE(c.tick(Countdown::kStride - 1));
  EXPECT_TRUE(c.tick(5));  // past the stride: the count starts over, the excess is dropped
  EXPECT_FALSE(c.tick(Countdown::kStride - 1));
  c.restart();
  EXPECT_FALSE(c.tick(Countdown::kStride - 1));
  EXPECT_TRUE(c.tick());
}

TEST(InterruptCheck, AsksOncePerStrideAndAtEachPoll) {
  test::StopAt never(0);
  InterruptCheck check(&never);
  for (std::int64_t i = 0; i < 2 * Countdown::kStride; ++i) check.tick();
  EXPECT_EQ(never.asked, 2u);
  check.poll();
  EXPECT_EQ(never.asked, 3u);
  for (std::int64_t i = 0; i < Countdown::kStride - 1; ++i) check.tick();
  EXPECT_EQ(never.asked, 3u);  // the poll started a new stride

  test::StopAt second(2);
  InterruptCheck stopping(&second);
  stopping.poll();
  EXPECT_THROW(stopping.tick(Countdown::kStride), Interrupted);
  InterruptCheck none(nullptr);
  none.tick(10 * Countdown::kStride);
  none.poll();
}

}  // namespace
}  // namespace tavrine
