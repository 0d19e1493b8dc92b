#pragma once
// The one interner of the core: unique values under dense ids.
//
// Contract
//  - Every distinct value is stored once, in append-only storage whose
//    elements never move, so a reference to a stored value stays valid for
//    the interner's life; ids are dense from 0 in the order values first
//    arrive.
//  - Equality and hashing are the caller's: it passes a hash consistent with
//    `eq(stored, key)`, which compares a stored value with a lookup key of
//    any type (a borrowed view of the value, typically), and `make(key)`,
//    which builds the value to store.
//  - Failure: `intern` and `add` either return or throw (std::bad_alloc, or
//    whatever `make` throws) with nothing changed. Room is made first; the
//    value is published last.
//  - Not thread-safe for writers. Values already interned may be read from
//    other threads while the owner adds more, provided the reader learned
//    their ids through the owner's own synchronization.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/append_only.h"
#include "support/handle_table.h"
#include "support/panic.h"

namespace tavrine {

template <class T, int HandleBits = 32>
class Interner {
 public:
  static constexpr std::size_t npos = HandleTable<HandleBits>::npos;

  Interner() = default;
  Interner(const Interner&) = delete;
  Interner& operator=(const Interner&) = delete;

  std::size_t size() const noexcept { return values_.size(); }
  const T& operator[](std::size_t id) const noexcept { return values_[id]; }
  std::uint64_t hash_of(std::size_t id) const noexcept { return hashes_[id]; }

  // The id of the stored value equal to `key`, or npos.
  template <class K, class Eq>
  std::size_t find(std::uint64_t hash, const K& key, Eq&& eq) const {
    return table_.find(hash, [&](std::uint64_t id) { return hashes_[id] == hash && eq(values_[id], key); });
  }

  // Fetches the table slot a find of this hash starts at.
  void prefetch(std::uint64_t hash) const noexcept { table_.prefetch(hash); }

  // The id of the value equal to `key`, storing make(key) under the next id
  // when there is none; `second` tells whether it was stored now.
  template <class K, class Eq, class Make>
  std::pair<std::size_t, bool> intern(std::uint64_t hash, const K& key, Eq&& eq, Make&& make) {
    const std::size_t found = find(hash, key, eq);
    if (found != npos) return {found, false};
    return {add(hash, [&] { return make(key); }), true};
  }

  // Stores make() under the next id; its value must not be stored yet.
  template <class Make>
  std::size_t add(std::uint64_t hash, Make&& make) {
    const std::size_t id = values_.size();
    expect_room(id);
    if (hashes_.size() == hashes_.capacity()) hashes_.reserve(std::max<std::size_t>(16, hashes_.capacity() * 2));
    table_.prepare_insert(rehash());
    values_.emplace_back(make());
    hashes_.push_back(hash);  // cannot fail: reserved above
    table_.insert_prepared(hash, id);
    return id;
  }

  // Room for `n` values in all, made ahead of a known number of adds.
  void reserve(std::size_t n) {
    if (n > hashes_.capacity()) hashes_.reserve(n);
    table_.reserve(n, rehash());
  }

  std::size_t memory_bytes() const noexcept { return table_.memory_bytes() + hashes_.capacity() * sizeof(std::uint64_t); }

 private:
  static void expect_room(std::size_t id);
  auto rehash() const {
    return [this](std::uint64_t id) { return hashes_[id]; };
  }

  AppendOnly<T> values_;
  BigVec<std::uint64_t> hashes_;
  HandleTable<HandleBits> table_;
};

template <class T, int HandleBits>
void Interner<T, HandleBits>::expect_room(std::size_t id) {
  // The text is built only when it is needed: this runs for every value added.
  if (id >= HandleTable<HandleBits>::kMaxHandle) [[unlikely]] {
    panic("interner holds fewer than 2^" + std::to_string(HandleBits) + " - 1 values");
  }
}

}  // namespace tavrine
