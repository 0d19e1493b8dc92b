#pragma once
// Open-addressing index of 32-bit handles whose keys live elsewhere.
//
// The optimizer's lookup tables (symbol texts, structural keys of canonical
// nodes, commuted operand pairs) all map a key that is already stored in some
// contiguous array to its position in that array. Storing only the position
// plus a slice of the hash keeps a slot at 8 bytes, and most probes are
// decided without touching the keys. The index is used for lookups only;
// nothing ever iterates it, so no result depends on hash values or on the
// per-process seed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/hash.h"

namespace tavrine::opt {

inline std::uint64_t hash_words(std::uint64_t h, const std::uint32_t* w, std::size_t n) noexcept {
  h = detail::combine(h, n);
  for (std::size_t i = 0; i < n; ++i) h = detail::combine(h, w[i]);
  return h;
}

class HandleIndex {
 public:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  HandleIndex() = default;
  // Sized for `expected` handles without growing.
  explicit HandleIndex(std::size_t expected) { reset(expected); }

  void reset(std::size_t expected) {
    std::size_t cap = 16;
    while (cap * 3 < (expected + 1) * 4) cap *= 2;
    slots_.assign(cap, 0);
    mask_ = cap - 1;
    count_ = 0;
  }

  std::size_t size() const noexcept { return count_; }

  // The handle whose key equals the probe (eq(handle) decides), or kNone.
  template <class Eq>
  std::uint32_t find(std::uint64_t hash, Eq&& eq) const {
    const std::uint64_t tag = tag_of(hash);
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const std::uint64_t s = slots_[i];
      if (s == 0) return kNone;
      if ((s >> 32) == tag && eq(static_cast<std::uint32_t>(s) - 1)) return static_cast<std::uint32_t>(s) - 1;
    }
  }

  // Inserts a handle known to be absent. `hash_of(handle)` recomputes the
  // hash of any stored handle, needed only when the table grows.
  template <class HashOf>
  void insert(std::uint64_t hash, std::uint32_t handle, HashOf&& hash_of) {
    if ((count_ + 1) * 4 > slots_.size() * 3) grow(hash_of);
    place(hash, handle);
    ++count_;
  }

 private:
  static std::uint64_t tag_of(std::uint64_t hash) noexcept { return (hash >> 32) | 1; }

  void place(std::uint64_t hash, std::uint32_t handle) {
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      if (slots_[i] == 0) {
        slots_[i] = (tag_of(hash) << 32) | (std::uint64_t{handle} + 1);
        return;
      }
    }
  }

  template <class HashOf>
  void grow(HashOf&& hash_of) {
    std::vector<std::uint64_t> old;
    old.swap(slots_);
    std::size_t cap = std::max<std::size_t>(16, old.size() * 2);
    slots_.assign(cap, 0);
    mask_ = cap - 1;
    for (std::uint64_t s : old) {
      if (s != 0) {
        const std::uint32_t handle = static_cast<std::uint32_t>(s) - 1;
        place(hash_of(handle), handle);
      }
    }
  }

  std::vector<std::uint64_t> slots_ = std::vector<std::uint64_t>(16, 0);
  std::size_t mask_ = 15;
  std::size_t count_ = 0;
};

}  // namespace tavrine::opt
