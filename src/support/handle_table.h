#pragma once
// The one hash table of the core: an open-addressing index of handles whose
// keys live elsewhere.
//
// Every lookup structure of the core maps a key that is already stored in
// some contiguous array (nodes, payloads, texts, e-nodes) to its position in
// that array, its "handle". The table stores only the handle and a slice of
// the key's hash, 8 bytes a slot, so most probes are decided without touching
// the keys, and a key is compared (by the caller's `eq`) only when the slices
// agree.
//
// Contract
//  - Slot layout: (tag << HandleBits) | (handle + 1); 0 is an empty slot. The
//    tag is the top 64 - HandleBits bits of the hash.
//  - Linear probing from the home slot, which is taken from the top bits of
//    the hash. While the table has at most 2^(64 - HandleBits) slots the home
//    slot follows from the stored tag alone, so growing walks the old table in
//    order and writes the new one almost sequentially, without recomputing a
//    hash from scattered keys; past that size `hash_of(handle)` supplies it.
//  - Load factor at most LoadPercent / 100; capacities are powers of two.
//  - Failure: only growth allocates. `prepare_insert` and `reserve` either
//    succeed or throw std::bad_alloc leaving the table exactly as it was, so
//    a caller can make room first and publish last; `insert_prepared` and
//    `erase` never fail.
//  - Hashes are the caller's (seeded or not); the table never iterates for a
//    caller, so no result can depend on hash values or slot order.
//  - Not thread-safe: the owner serializes access.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "support/big_alloc.h"
#include "support/prefetch.h"

namespace tavrine {

template <int HandleBits = 32, int LoadPercent = 75>
class HandleTable {
  static_assert(HandleBits >= 16 && HandleBits <= 48, "handles need room, and so does the tag");
  static_assert(LoadPercent >= 25 && LoadPercent <= 90);

 public:
  using Handle = std::uint64_t;
  static constexpr int kHandleBits = HandleBits;
  static constexpr int kTagBits = 64 - HandleBits;
  // The largest handle the table can hold.
  static constexpr Handle kMaxHandle = (Handle{1} << HandleBits) - 2;
  static constexpr std::size_t npos = ~std::size_t{0};
  static constexpr std::size_t kMinCapacity = 16;

  HandleTable() = default;
  HandleTable(const HandleTable&) = delete;
  HandleTable& operator=(const HandleTable&) = delete;
  HandleTable(HandleTable&& other) noexcept { swap(other); }
  HandleTable& operator=(HandleTable&& other) noexcept {
    HandleTable tmp(std::move(other));
    swap(tmp);
    return *this;
  }
  ~HandleTable() { detail::big_free(slots_, cap_ * sizeof(std::uint64_t)); }

  void swap(HandleTable& other) noexcept {
    std::swap(slots_, other.slots_);
    std::swap(cap_, other.cap_);
    std::swap(bits_, other.bits_);
    std::swap(size_, other.size_);
  }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::size_t capacity() const noexcept { return cap_; }
  std::size_t memory_bytes() const noexcept { return cap_ * sizeof(std::uint64_t); }

  // The slot of the handle h whose eq(h) holds, probing from the hash's home
  // slot, or npos.
  template <class Eq>
  std::size_t find_slot(std::uint64_t hash, Eq&& eq) const {
    if (cap_ == 0) return npos;
    const std::size_t mask = cap_ - 1;
    const std::uint64_t tag = hash >> HandleBits;
    for (std::size_t i = home(hash);; i = (i + 1) & mask) {
      const std::uint64_t s = slots_[i];
      if (s == 0) return npos;
      if ((s >> HandleBits) == tag && eq(handle_of(s))) return i;
    }
  }
  // The slot of the handle whose eq(handle) holds (found), or else the empty
  // slot its probe ended at, where insert_at may enter the key as long as
  // the table has not changed since.
  struct Probe {
    std::size_t slot;
    bool found;
  };
  template <class Eq>
  Probe probe(std::uint64_t hash, Eq&& eq) const {
    if (cap_ == 0) return {npos, false};
    const std::size_t mask = cap_ - 1;
    const std::uint64_t tag = hash >> HandleBits;
    for (std::size_t i = home(hash);; i = (i + 1) & mask) {
      const std::uint64_t s = slots_[i];
      if (s == 0) return {i, false};
      if ((s >> HandleBits) == tag && eq(handle_of(s))) return {i, true};
    }
  }
  // The handle whose eq(handle) holds, or npos.
  template <class Eq>
  Handle find(std::uint64_t hash, Eq&& eq) const {
    const std::size_t slot = find_slot(hash, eq);
    return slot == npos ? npos : handle_of(slots_[slot]);
  }
  Handle handle_at(std::size_t slot) const noexcept { return handle_of(slots_[slot]); }

  // Fetches the home slot of `hash` into the cache ahead of a find or insert.
  void prefetch(std::uint64_t hash) const noexcept {
    if (cap_ != 0) prefetch_read(&slots_[home(hash)]);
  }

  // Makes room for `n` entries in all. hash_of(handle) recomputes the hash
  // of a stored handle; it is called only past 2^kTagBits slots.
  template <class HashOf>
  void reserve(std::size_t n, HashOf&& hash_of) {
    if (n <= max_load(cap_) && cap_ != 0) return;
    std::size_t cap = std::max(kMinCapacity, cap_);
    while (n > max_load(cap)) cap *= 2;
    rehash(cap, hash_of);
  }
  // Makes room for one more entry (may throw std::bad_alloc; then nothing
  // changed). True when that moved the entries (a Probe made before is then
  // stale).
  template <class HashOf>
  bool prepare_insert(HashOf&& hash_of) {
    if (cap_ != 0 && size_ + 1 <= max_load(cap_)) return false;
    reserve(size_ + 1, hash_of);
    return true;
  }
  // Enters a handle whose key is known to be absent, after prepare_insert.
  void insert_prepared(std::uint64_t hash, Handle handle) noexcept {
    place(home(hash), slot_value(hash, handle));
    ++size_;
  }
  // Enters a handle at the empty slot a probe for its absent key ended at,
  // after prepare_insert left that probe valid.
  void insert_at(std::size_t vacancy, std::uint64_t hash, Handle handle) noexcept {
    slots_[vacancy] = slot_value(hash, handle);
    ++size_;
  }
  template <class HashOf>
  void insert(std::uint64_t hash, Handle handle, HashOf&& hash_of) {
    prepare_insert(hash_of);
    insert_prepared(hash, handle);
  }

  // Removes the entry in `slot` (from find_slot), shifting later entries of
  // its probe run back so that every remaining entry stays reachable.
  template <class HashOf>
  void erase(std::size_t slot, HashOf&& hash_of) noexcept {
    const std::size_t mask = cap_ - 1;
    std::size_t hole = slot;
    for (std::size_t j = (hole + 1) & mask;; j = (j + 1) & mask) {
      const std::uint64_t s = slots_[j];
      if (s == 0) break;
      const std::size_t h = home_of_slot(s, hash_of);
      // The entry at j may move into the hole unless its home lies
      // cyclically in (hole, j].
      const bool stays = hole <= j ? (hole < h && h <= j) : (hole < h || h <= j);
      if (!stays) {
        slots_[hole] = s;
        hole = j;
      }
    }
    slots_[hole] = 0;
    --size_;
  }

  // Empties the table and gives its memory back.
  void clear() noexcept {
    detail::big_free(slots_, cap_ * sizeof(std::uint64_t));
    slots_ = nullptr;
    cap_ = 0;
    bits_ = 0;
    size_ = 0;
  }

 private:
  static constexpr std::size_t max_load(std::size_t cap) noexcept { return cap * LoadPercent / 100; }
  static Handle handle_of(std::uint64_t s) noexcept { return (s & ((std::uint64_t{1} << HandleBits) - 1)) - 1; }
  static std::uint64_t slot_value(std::uint64_t hash, Handle handle) noexcept {
    return ((hash >> HandleBits) << HandleBits) | (handle + 1);
  }
  std::size_t home(std::uint64_t hash) const noexcept { return static_cast<std::size_t>(hash >> (64 - bits_)); }
  template <class HashOf>
  std::size_t home_of_slot(std::uint64_t s, HashOf& hash_of) const {
    if (bits_ <= kTagBits) return static_cast<std::size_t>((s >> HandleBits) >> (kTagBits - bits_));
    return home(hash_of(handle_of(s)));
  }
  void place(std::size_t i, std::uint64_t value) noexcept {
    const std::size_t mask = cap_ - 1;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = value;
  }

  template <class HashOf>
  void rehash(std::size_t cap, HashOf& hash_of) {
    auto* fresh = static_cast<std::uint64_t*>(detail::big_alloc(cap * sizeof(std::uint64_t)));
    std::memset(fresh, 0, cap * sizeof(std::uint64_t));
    std::uint64_t* old = slots_;
    const std::size_t old_cap = cap_;
    slots_ = fresh;
    cap_ = cap;
    bits_ = std::countr_zero(cap);
    if (old_cap != 0) {
      // Starting after an empty slot re-places the entries of a probe run
      // that wrapped around the end after the ones they were displaced by.
      std::size_t start = 0;
      while (old[start] != 0) ++start;
      if (bits_ <= kTagBits) {
        // The common case, kept to a tight loop: the home is the tag's top
        // bits.
        const int shift = 64 - bits_;
        for (std::size_t k = 0; k < old_cap; ++k) {
          const std::uint64_t s = old[(start + k) & (old_cap - 1)];
          if (s != 0) place(static_cast<std::size_t>(s >> shift), s);
        }
      } else {
        for (std::size_t k = 0; k < old_cap; ++k) {
          const std::uint64_t s = old[(start + k) & (old_cap - 1)];
          if (s != 0) place(home_of_slot(s, hash_of), s);
        }
      }
    }
    detail::big_free(old, old_cap * sizeof(std::uint64_t));
  }

  std::uint64_t* slots_ = nullptr;
  std::size_t cap_ = 0;
  int bits_ = 0;
  std::size_t size_ = 0;
};

}  // namespace tavrine
