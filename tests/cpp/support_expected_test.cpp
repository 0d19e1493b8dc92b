// Results as values: what the interning paths and the reader hand back.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>

#include "support/expected.h"
#include "support/panic.h"

namespace tavrine {
namespace {

struct Refused {
  std::uint64_t id;
};

// Ids and small error records come back in registers: the type must stay
// trivially copyable for them.
static_assert(std::is_trivially_copyable_v<Expected<std::uint64_t, Refused>>);
static_assert(std::is_trivially_copyable_v<Expected<Ok, Refused>>);
static_assert(!std::is_trivially_copyable_v<Expected<std::string, Refused>>);

Expected<std::unique_ptr<std::string>, std::string> make(bool ok) {
  if (!ok) return unexpected(std::string(40, 'e'));  // past any small-string buffer
  return std::make_unique<std::string>(40, 'v');
}

TEST(Expected, EachAlternativeIsKeptThroughCopiesAndMovesAndReleasedOnce) {
  auto v = make(true);
  ASSERT_TRUE(v);
  auto moved = std::move(v);
  std::unique_ptr<std::string> owned = std::move(*moved);
  EXPECT_EQ(*owned, std::string(40, 'v'));

  auto e = make(false);
  ASSERT_FALSE(e);
  const auto moved_error = std::move(e);
  EXPECT_EQ(moved_error.error(), std::string(40, 'e'));
  static_assert(!std::is_copy_constructible_v<decltype(e)>);

  Expected<std::string, Refused> text(std::string(40, 't'));
  const Expected<std::string, Refused> again(text);
  EXPECT_EQ(*again, *text);
  const Expected<std::string, std::string> error_text(unexpected(std::string(40, 'x')));
  const Expected<std::string, std::string> error_copy(error_text);
  EXPECT_EQ(error_copy.error(), error_text.error());
  Expected<std::uint64_t, Refused> refused(unexpected(Refused{7}));
  EXPECT_EQ(refused.error().id, 7u);
}

TEST(Expected, ReadingTheOtherAlternativePanics) {
  Expected<std::uint64_t, Refused> id(std::uint64_t{3});
  EXPECT_EQ(*id, 3u);
  EXPECT_THROW((void)id.error(), Panic);
  const auto e = make(false);
  EXPECT_THROW((void)e.value(), Panic);
}

}  // namespace
}  // namespace tavrine
