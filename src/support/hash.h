#pragma once
// Seeded 64-bit hashing for the store's interning tables. Only lookups use
// these hashes; no result depends on their values or on table order.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <sys/random.h>

#include "support/little_endian.h"

namespace tavrine::detail {

inline std::uint64_t mix64(std::uint64_t x) noexcept {
  x ^= x >> 32;
  x *= 0xd6e8feb86659fd93ull;
  x ^= x >> 32;
  x *= 0xd6e8feb86659fd93ull;
  x ^= x >> 32;
  return x;
}

inline std::uint64_t combine(std::uint64_t h, std::uint64_t w) noexcept {
  return (h ^ w) * 0x9E3779B97F4A7C15ull + (h >> 29);
}

// The last 1 to 8 bytes of a text as one word, without reading past its end
// (overlapping loads where the text is long enough).
inline std::uint64_t tail_word(const char* p, std::size_t n) noexcept {
  if (n >= 4) return (std::uint64_t{enc::load_u32(p)} << 32) | enc::load_u32(p + n - 4);
  return (std::uint64_t(std::uint8_t(p[0])) << 16) | (std::uint64_t(std::uint8_t(p[n >> 1])) << 8) |
         std::uint8_t(p[n - 1]);
}

inline std::uint64_t hash_bytes(std::uint64_t h, std::string_view s) noexcept {
  const char* p = s.data();
  std::size_t n = s.size();
  h = combine(h, n);
  while (n > 8) {
    h = combine(h, enc::load_u64(p));
    p += 8;
    n -= 8;
  }
  if (n) h = combine(h, tail_word(p, n));
  return h;
}

// Byte equality of two texts of the same length, inlined for the short
// names, keys and payloads that dominate.
inline bool same_bytes(const char* a, const char* b, std::size_t n) noexcept {
  if (n <= 8) return n == 0 || tail_word(a, n) == tail_word(b, n);
  if (n <= 16) return ((enc::load_u64(a) ^ enc::load_u64(b)) | (enc::load_u64(a + n - 8) ^ enc::load_u64(b + n - 8))) == 0;
  if (n <= 32) {
    // A name with one parameter: four overlapping words instead of a call.
    return ((enc::load_u64(a) ^ enc::load_u64(b)) | (enc::load_u64(a + 8) ^ enc::load_u64(b + 8)) |
            (enc::load_u64(a + n - 16) ^ enc::load_u64(b + n - 16)) | (enc::load_u64(a + n - 8) ^ enc::load_u64(b + n - 8))) == 0;
  }
  return std::memcmp(a, b, n) == 0;
}
inline bool same_text(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && same_bytes(a.data(), b.data(), a.size());
}

}  // namespace tavrine::detail

namespace tavrine {

// A random seed drawn once per process, for tables whose hash should not be
// predictable from outside (results never depend on it).
inline std::uint64_t process_seed() noexcept {
  static const std::uint64_t seed = [] {
    std::uint64_t s = 0;
    if (getrandom(&s, sizeof s, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof s)) {
      s = reinterpret_cast<std::uintptr_t>(&s);
    }
    return detail::mix64(s);
  }();
  return seed;
}

// A seed for one table's hash: the process seed mixed with a counter and
// the clock, so that two tables never share a seed.
inline std::uint64_t fresh_seed() noexcept {
  static std::atomic<std::uint64_t> counter{0};
  const auto tick = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  const std::uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
  return detail::mix64(process_seed() ^ detail::mix64(tick ^ (n * 0x9E3779B97F4A7C15ull)));
}

}  // namespace tavrine
