#pragma once
// The one hash-consing index of the core: finds the record of a node from its
// payload and its inputs, whatever the shape of the graph.
//
// The store, the structural deduplication and the incremental reducer all
// keep their nodes in a dense array (id -> payload, inputs) and need the id of
// the node with a given (payload, inputs), or to learn there is none. Every
// such lookup goes through here: one probe of a flat table keyed by the hash
// of the whole key, so its cost does not depend on how many nodes share an
// input (a hot column read by every op) or how far back an input lies.
//
// Contract
//  - Keys live in the owner's arrays; the index holds ids and a slice of each
//    key's hash (HandleTable: 8 bytes a slot). The owner's `same(id)` decides
//    whether its node `id` is the key looked for, and `hash_of(id)` recomputes
//    the hash of a stored node (rarely: only when the table outgrows its
//    tags, or an entry is erased).
//  - `hash(payload_hash, inputs)` is the key's hash; the payload's hash is the
//    owner's (its payload interner is seeded, so the index is too).
//  - Failure: `prepare_insert` and `reserve` may throw std::bad_alloc and
//    then leave the index as it was; `insert_prepared`, `find` and `erase`
//    never fail. So an owner makes room first and publishes last.
//  - Results never depend on hash values or slot order: the index is never
//    iterated.
//  - Not thread-safe: the owner serializes access.
#include <cstddef>
#include <cstdint>
#include <span>

#include "support/handle_table.h"
#include "support/hash.h"

namespace tavrine {

class NodeIndex {
 public:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  // Inputs are ids of whatever width the owner keeps.
  template <class Id>
  static std::uint64_t hash(std::uint64_t payload_hash, std::span<const Id> inputs) noexcept {
    std::uint64_t h = detail::combine(payload_hash, inputs.size());
    for (Id id : inputs) h = detail::combine(h, static_cast<std::uint64_t>(id));
    return detail::mix64(h);
  }

  std::size_t size() const noexcept { return table_.size(); }
  std::size_t memory_bytes() const noexcept { return table_.memory_bytes(); }

  // The id whose same(id) holds among the nodes entered under `hash`, or kNone.
  template <class Same>
  std::uint32_t find(std::uint64_t hash, Same&& same) const {
    const std::uint64_t h = table_.find(hash, [&](std::uint64_t id) { return same(static_cast<std::uint32_t>(id)); });
    return h == Table::npos ? kNone : static_cast<std::uint32_t>(h);
  }

  // A lookup that also remembers where the key would go: `insert` after a
  // miss then does not walk the probe again.
  struct Probe {
    std::uint32_t id;      // the node found, or kNone
    std::size_t vacancy;   // where a miss ended
  };
  template <class Same>
  Probe probe(std::uint64_t hash, Same&& same) const {
    const auto p = table_.probe(hash, [&](std::uint64_t id) { return same(static_cast<std::uint32_t>(id)); });
    if (p.found) return {static_cast<std::uint32_t>(table_.handle_at(p.slot)), Table::npos};
    return {kNone, p.slot};
  }

  // Fetches the slot a lookup of `hash` starts at, ahead of that lookup.
  void prefetch(std::uint64_t hash) const noexcept { table_.prefetch(hash); }

  // Room for `n` entries in all, or for one more (may throw std::bad_alloc,
  // then nothing changed).
  template <class HashOf>
  void reserve(std::size_t n, HashOf&& hash_of) {
    table_.reserve(n, as_handle_hash(hash_of));
  }
  template <class HashOf>
  void prepare_insert(HashOf&& hash_of) {
    table_.prepare_insert(as_handle_hash(hash_of));
  }
  // The same, for a node a `probe` missed; the probe is brought up to date.
  template <class HashOf>
  void prepare_insert(Probe& missed, HashOf&& hash_of) {
    if (table_.prepare_insert(as_handle_hash(hash_of))) missed.vacancy = Table::npos;
  }
  // Enters node `id` under `hash`, after prepare_insert; no node equal to it
  // may be entered already.
  void insert_prepared(std::uint64_t hash, std::uint32_t id) noexcept { table_.insert_prepared(hash, id); }
  // Enters node `id` where the probe for it missed, after prepare_insert.
  void insert_prepared(const Probe& missed, std::uint64_t hash, std::uint32_t id) noexcept {
    if (missed.vacancy == Table::npos) {
      table_.insert_prepared(hash, id);
    } else {
      table_.insert_at(missed.vacancy, hash, id);
    }
  }

  // Removes node `id`, entered under `hash`; does nothing if it is absent.
  template <class HashOf>
  void erase(std::uint64_t hash, std::uint32_t id, HashOf&& hash_of) noexcept {
    const std::size_t slot = table_.find_slot(hash, [&](std::uint64_t h) { return h == id; });
    if (slot != Table::npos) table_.erase(slot, as_handle_hash(hash_of));
  }

  // Empties the index and gives its memory back.
  void clear() noexcept { table_.clear(); }

 private:
  using Table = HandleTable<32>;
  template <class HashOf>
  static auto as_handle_hash(HashOf& hash_of) {
    return [&hash_of](std::uint64_t h) { return hash_of(static_cast<std::uint32_t>(h)); };
  }
  Table table_;
};

}  // namespace tavrine
