// The engine's countdown: a time limit and the caller's interrupt, consulted once a stride.
#include <gtest/gtest.h>

#include <chrono>

#include "egraph/egraph.h"
#include "stop_at.h"

namespace egraph {
namespace {

constexpr std::int64_t kStride = tavrine::Countdown::kStride;

TEST(DeadlineCheck, WithNothingToConsultNeverStops) {
  DeadlineCheck none(nullptr);
  EXPECT_FALSE(none.tick(10 * kStride));
  Deadline untimed;
  DeadlineCheck nothing(&untimed);
  EXPECT_FALSE(nothing.tick(10 * kStride));
}

TEST(DeadlineCheck, AsksTheInterruptOncePerStride) {
  tavrine::test::StopAt never(0);
  Deadline d;
  d.interrupt = &never;
  DeadlineCheck check(&d);
  for (std::int64_t i = 0; i < 3 * kStride; ++i) EXPECT_FALSE(check.tick());
  EXPECT_EQ(never.asked, 3u);

  tavrine::test::StopAt first(1);
  d.interrupt = &first;
  DeadlineCheck stopping(&d);
  EXPECT_FALSE(stopping.tick(kStride - 1));
  EXPECT_THROW(stopping.tick(), tavrine::Interrupted);
}

TEST(DeadlineCheck, ReportsAPassedTimeLimitAtTheStride) {
  Deadline d;
  d.start = Deadline::Clock::now() - std::chrono::seconds(1);
  d.limit = std::chrono::nanoseconds(1);
  DeadlineCheck check(&d);
  EXPECT_FALSE(check.tick(kStride - 1));
  EXPECT_TRUE(check.tick());
}

}  // namespace
}  // namespace egraph
