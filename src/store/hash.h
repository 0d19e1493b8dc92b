#pragma once
// Seeded 64-bit hashing for the store's interning tables. Only lookups use
// these hashes; no result depends on their values or on table order.
#include <cstdint>
#include <cstring>
#include <string_view>

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

inline std::uint64_t hash_bytes(std::uint64_t h, std::string_view s) noexcept {
  const char* p = s.data();
  std::size_t n = s.size();
  h = combine(h, n);
  while (n >= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    h = combine(h, w);
    p += 8;
    n -= 8;
  }
  if (n) {
    std::uint64_t w = 0;
    std::memcpy(&w, p, n);
    h = combine(h, w);
  }
  return h;
}

}  // namespace tavrine::detail
