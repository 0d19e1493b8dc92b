// The support layer's small mechanisms: the little-endian codec, the arena
// the decimal formatter and the prefetch window.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/arena.h"
#include "support/decimal.h"
#include "support/hash.h"
#include "support/little_endian.h"
#include "support/prefetch.h"

using namespace tavrine;

TEST(LittleEndian, BytesAreLowFirstOnEveryHost) {
  char b[8];
  enc::store_u32(b, 0x04030201u);
  EXPECT_EQ(std::string(b, 4), std::string("\x01\x02\x03\x04", 4));
  enc::store_u64(b, 0x0807060504030201ull);
  EXPECT_EQ(std::string(b, 8), std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
  EXPECT_EQ(enc::load_u64(b), 0x0807060504030201ull);
  EXPECT_EQ(enc::load_u32(b + 1), 0x05040302u);  // unaligned
  const unsigned char u[4] = {0xff, 0, 0, 0x80};
  EXPECT_EQ(enc::load_u32(u), 0x800000ffu);
}

TEST(LittleEndian, TextHashesAreThoseOfTheFormerNativeLoads) {
  // Fixed values: the hash of a text must not change with the codec.
  EXPECT_EQ(detail::hash_bytes(0, ""), 0u);
  EXPECT_EQ(detail::hash_bytes(1, "hello, wide world"), 0xaeee2111e7a171b8ull);
  EXPECT_EQ(detail::mix64(detail::hash_bytes(7, "ab")), 0x47b3a7304618ac1bull);
  EXPECT_EQ(detail::tail_word("abcd", 4), (std::uint64_t{0x64636261} << 32) | 0x64636261u);
  EXPECT_EQ(detail::tail_word("abcdefg", 7), (std::uint64_t{0x64636261} << 32) | 0x67666564u);
  EXPECT_EQ(detail::tail_word("ab", 2), (std::uint64_t{'a'} << 16) | (std::uint64_t{'b'} << 8) | 'b');
  EXPECT_TRUE(detail::same_text("0123456789abcdef", "0123456789abcdef"));
  EXPECT_FALSE(detail::same_text("0123456789abcdef", "0123456789abcdeF"));
}

// Each length takes its own path of overlapping words: a difference in any
// one byte, at any length, must be seen.
TEST(LittleEndian, SameBytesSeesADifferenceAnywhere) {
  const std::string base = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGH";
  for (std::size_t n = 0; n <= 40; ++n) {
    const std::string a = base.substr(0, n);
    ASSERT_TRUE(detail::same_bytes(a.data(), a.c_str(), n)) << n;
    for (std::size_t at = 0; at < n; ++at) {
      std::string b = a;
      b[at] = static_cast<char>(b[at] ^ 0x20);
      ASSERT_FALSE(detail::same_bytes(a.data(), b.data(), n)) << n << " at " << at;
    }
  }
}

TEST(Arena, RunsStayWhereTheyWereCopied) {
  Arena<std::uint64_t> arena;
  EXPECT_EQ(arena.memory_bytes(), 0u);
  std::vector<const std::uint64_t*> runs;
  std::vector<std::uint64_t> run(5);
  for (std::uint64_t i = 0; i < 20000; ++i) {
    for (std::uint64_t k = 0; k < run.size(); ++k) run[k] = i * 8 + k;
    runs.push_back(arena.copy(run));
  }
  for (std::uint64_t i = 0; i < runs.size(); ++i) {
    for (std::uint64_t k = 0; k < run.size(); ++k) ASSERT_EQ(runs[i][k], i * 8 + k);
  }
  EXPECT_GE(arena.memory_bytes(), runs.size() * run.size() * sizeof(std::uint64_t));
}

TEST(Arena, ALargeRunHasAChunkOfItsOwn) {
  Arena<char> arena;
  const char* a = arena.copy(std::string_view("ab"));
  const std::size_t one_chunk = arena.memory_bytes();
  EXPECT_EQ(one_chunk, std::size_t{1} << 16);
  const std::string big(1 << 17, 'x');
  const char* b = arena.copy(std::string_view(big));
  EXPECT_EQ(std::string_view(b, big.size()), big);
  // Its chunk holds the run and a header, nothing more.
  EXPECT_GT(arena.memory_bytes(), one_chunk + big.size());
  EXPECT_LE(arena.memory_bytes(), one_chunk + big.size() + 64);
  // The current chunk goes on after the large run.
  const char* c = arena.copy(std::string_view("cd"));
  EXPECT_EQ(c, a + 2);
  EXPECT_EQ(std::string_view(a, 4), "abcd");
  // Nothing to copy: no chunk is made.
  Arena<char> empty;
  (void)empty.copy(std::string_view());
  EXPECT_EQ(empty.memory_bytes(), 0u);
}

TEST(Arena, ChunksDoubleUpToWholeBlocksAndWasteLittle) {
  // Runs of every size below a quarter chunk, 24 MiB in all: the chunks
  // double from 64 KiB to 2 MiB, so the memory held is what was copied plus
  // at most the unused part of the chunks (a quarter of each at worst, for
  // the run that did not fit) and the one being filled.
  Arena<char> arena;
  std::vector<std::pair<const char*, std::size_t>> runs;
  std::string run;
  std::size_t copied = 0;
  for (std::size_t i = 0; copied < (std::size_t{24} << 20); ++i) {
    run.assign((i * 7919) % 16000 + 1, static_cast<char>('a' + i % 26));
    runs.emplace_back(arena.copy(std::string_view(run)), run.size());
    copied += run.size();
  }
  EXPECT_LE(arena.memory_bytes(), copied + copied / 4 + (std::size_t{2} << 20));
  EXPECT_EQ(arena.memory_bytes() % (std::size_t{1} << 16), 0u);
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const auto [p, n] = runs[i];
    ASSERT_EQ(std::string_view(p, n), std::string(n, static_cast<char>('a' + i % 26))) << i;
  }
}

TEST(Decimal, SignedAndUnsignedExtremes) {
  std::string out;
  append_decimal(out, std::numeric_limits<std::int64_t>::min());
  out += ' ';
  append_decimal(out, std::numeric_limits<std::uint64_t>::max());
  out += ' ';
  append_decimal(out, 0u);
  out += ' ';
  append_decimal(out, -7);
  EXPECT_EQ(out, "-9223372036854775808 18446744073709551615 0 -7");
}

// Every window reaches every position exactly once and in order, a window
// given first reaches a position before the ones after it, and each before
// the visit; a visit returning false ends the loop where it stood. Loops cut
// short and loops shorter than a window included.
TEST(PrefetchWindow, EachPositionOnceInOrderBeforeItsVisit) {
  for (std::size_t n : {0u, 1u, 3u, 5u, 9u, 40u}) {
    for (std::size_t stop_at : {std::size_t{0}, std::size_t{2}, n}) {
      std::vector<std::string> events;
      auto log = [&](char what) {
        return [&events, what](std::size_t i) { events.push_back(what + std::to_string(i)); };
      };
      AheadRing<std::size_t, 8> ring;
      bool ring_ok = true;
      const std::size_t stopped = visit_ascending_while(
          std::size_t{0}, n,
          [&](std::size_t i) {
            ring_ok &= ring[i] == i * 7;
            events.push_back("v" + std::to_string(i));
            return i != stop_at;
          },
          FetchAhead{5, [&](std::size_t j) { ring[j] = j * 7; events.push_back("p" + std::to_string(j)); }},
          FetchAhead{2, log('f')});
      EXPECT_TRUE(ring_ok);
      const std::size_t visited = stop_at < n ? stop_at + 1 : n;
      EXPECT_EQ(stopped, stop_at < n ? stop_at : n);
      std::vector<std::size_t> first_p(n + 1, SIZE_MAX), first_f(n + 1, SIZE_MAX), first_v(n + 1, SIZE_MAX);
      std::size_t p_next = 0, f_next = 0, v_next = 0;
      for (std::size_t e = 0; e < events.size(); ++e) {
        const std::size_t i = std::stoul(events[e].substr(1));
        std::size_t& next = events[e][0] == 'p' ? p_next : events[e][0] == 'f' ? f_next : v_next;
        EXPECT_EQ(i, next++) << events[e];  // in order, once each
        (events[e][0] == 'p' ? first_p : events[e][0] == 'f' ? first_f : first_v)[i] = e;
      }
      EXPECT_EQ(v_next, visited);
      for (std::size_t i = 0; i < visited; ++i) {
        EXPECT_LT(first_p[i], first_f[i]);
        EXPECT_LT(first_f[i], first_v[i]);
      }
    }
  }
  std::vector<std::size_t> down, fetched;
  visit_descending(
      std::size_t{6}, [&](std::size_t i) { down.push_back(i); },
      FetchAhead{2, [&](std::size_t j) { fetched.push_back(j); }});
  EXPECT_EQ(down, (std::vector<std::size_t>{5, 4, 3, 2, 1, 0}));
  EXPECT_EQ(fetched, (std::vector<std::size_t>{5, 4, 3, 2, 1, 0}));
}
