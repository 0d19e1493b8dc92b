#pragma once
// The one little-endian codec: every fixed-width integer the payload
// encoding, the blob and the hash read or write goes through these, so the
// bytes are the same on every host. On a little-endian host each is a
// single unaligned load or store.
#include <bit>
#include <cstdint>
#include <cstring>

namespace tavrine::enc {

inline std::uint32_t load_u32(const void* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}
inline std::uint64_t load_u64(const void* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}
inline void store_u32(void* p, std::uint32_t v) noexcept {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}
inline void store_u64(void* p, std::uint64_t v) noexcept {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

}  // namespace tavrine::enc
