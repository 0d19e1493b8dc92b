#pragma once
// The one hash-consing index of the core: finds the id of a node from its
// payload and its inputs, whatever the shape of the graph.
//
// The store, the structural deduplication and the incremental reducer all
// keep their nodes in a dense array (id -> payload, inputs) and need the id of
// the node with a given (payload, inputs), or to learn there is none. Every
// such lookup goes through here, and costs at most one probe of a flat table
// keyed by the hash of the whole key, however many nodes share an input (a
// hot column read by every op) or however far back an input lies.
//
// Most nodes are read by one later node only, and recorded right after their
// inputs. So the index also keeps, per node, the first node whose largest
// input ("anchor") it is, with a slice of that node's hash, and whether more
// have followed. A key whose anchor has none is new without a probe; one
// whose anchor's first node it is, is found by the hash slice and one
// comparison with the owner's record, which the caller has usually just
// touched; only the later nodes of an anchor (and nodes without inputs) are
// entered in the table, and only keys that reach them probe it. The summary
// never makes a lookup cost more than the table's one probe.
//
// Contract
//  - Ids: the nodes entered are 0, 1, 2, ... in order (the owner's dense
//    ids), and `erase` removes the newest only; a node's inputs are smaller
//    ids than its own.
//  - Keys live in the owner's arrays; the index holds ids, 8 bytes a table
//    slot (HandleTable) and 8 bytes a node. The owner's `same(id)` decides
//    whether its node `id` is the key looked for; `hash_of(id)` recomputes
//    the hash of an entered node (when the table grows past its tags, or one
//    is erased).
//  - `hash(payload_hash, inputs)` is the key's hash; the payload's hash is the
//    owner's (its payload interner is seeded, so the index is too).
//  - Failure: `prepare_insert` and `reserve` may throw std::bad_alloc and
//    then leave the index as it was; `insert_prepared`, `find`, `probe` and
//    `erase` never fail. So an owner makes room first and publishes last.
//  - Results never depend on hash values or slot order: the index is never
//    iterated.
//  - Not thread-safe: the owner serializes access, with one exception:
//    `first_at` may be called without it (see there).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <atomic>
#include <span>

#include "support/append_only.h"
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

  // A key's anchor: its largest input (which needs at least one).
  template <class Id>
  static Id anchor_of(std::span<const Id> inputs) noexcept {
    return inputs.size() == 2 ? std::max(inputs[0], inputs[1]) : *std::max_element(inputs.begin(), inputs.end());
  }

  // A lookup that also remembers where the key would go, so that entering
  // it after a miss does not look again.
  struct Probe {
    std::uint32_t id = kNone;     // the node found, or kNone
    std::uint32_t anchor = kNone; // the key's largest input (kNone: no inputs)
    std::size_t vacancy = kNoSlot; // where a table probe ended, if one was made
  };

  std::size_t size() const noexcept { return anchored_.size(); }
  std::size_t memory_bytes() const noexcept {
    return table_.memory_bytes() + anchored_.memory_bytes();
  }

  template <class Id, class Same>
  Probe probe(std::uint64_t hash, std::span<const Id> inputs, Same&& same) const {
    Probe p;
    if (!inputs.empty()) {
      p.anchor = static_cast<std::uint32_t>(anchor_of(inputs));
      const std::uint64_t a = anchored_[p.anchor].load(std::memory_order_relaxed);
      const auto first = static_cast<std::uint32_t>(a);
      if (first == kNone) return p;
      if ((a >> kSliceShift) == (hash >> kSliceShift) && same(first)) {
        p.id = first;
        return p;
      }
      if (!(a & kMore)) return p;
    }
    const auto t = table_.probe(hash, [&](std::uint64_t id) { return same(static_cast<std::uint32_t>(id)); });
    if (t.found) {
      p.id = static_cast<std::uint32_t>(table_.handle_at(t.slot));
    } else {
      p.vacancy = t.slot;
    }
    return p;
  }
  // The id whose same(id) holds, or kNone.
  template <class Id, class Same>
  std::uint32_t find(std::uint64_t hash, std::span<const Id> inputs, Same&& same) const {
    return probe(hash, inputs, same).id;
  }

  // The first node anchored at `anchor`, or kNone. This alone may be called
  // without the owner's lock, by an owner that never erases, for an anchor
  // whose entry it published to the caller (a release store after the
  // anchor's insert_prepared, read with acquire): the summary is set by a
  // release store after the node it names is complete, so a node read
  // through it is complete too. It decides nothing when it does not match.
  std::uint32_t first_at(std::size_t anchor) const noexcept {
    return static_cast<std::uint32_t>(anchored_[anchor].load(std::memory_order_acquire));
  }

  // Fetches what a lookup and insert of this key may read, ahead of them
  // (reading nothing itself, so that it never waits).
  template <class Id>
  void prefetch(std::uint64_t hash, std::span<const Id> inputs) const noexcept {
    table_.prefetch(hash);
    if (inputs.empty()) return;
    const auto anchor = static_cast<std::size_t>(anchor_of(inputs));
    if (anchor < anchored_.size()) prefetch_read(&anchored_[anchor]);
  }

  // Room for the summaries of `n` nodes in all (may throw std::bad_alloc,
  // then nothing changed). The table is left to grow with what enters it:
  // how many nodes share an anchor is not known ahead, and most do not.
  void reserve(std::size_t n) {
    if (n > anchored_.size()) anchored_.ensure_room(n - anchored_.size());
  }
  // Room for the node a probe missed (may throw std::bad_alloc, then
  // nothing changed); the probe is brought up to date.
  template <class HashOf>
  void prepare_insert(Probe& missed, HashOf&& hash_of) {
    anchored_.ensure_room(1);
    if (table_.prepare_insert(as_handle_hash(hash_of))) missed.vacancy = kNoSlot;
  }
  // Enters the next node, `id` == size(), whose probe missed, after
  // prepare_insert.
  void insert_prepared(const Probe& missed, std::uint64_t hash, std::uint32_t id) noexcept {
    anchored_.emplace_back(kNone);  // cannot fail: room was made
    if (missed.anchor != kNone) {
      std::atomic<std::uint64_t>& slot = anchored_[missed.anchor];
      const std::uint64_t a = slot.load(std::memory_order_relaxed);
      if (static_cast<std::uint32_t>(a) == kNone) {
        slot.store(((hash >> kSliceShift) << kSliceShift) | id, std::memory_order_release);
        return;
      }
      if (!(a & kMore)) slot.store(a | kMore, std::memory_order_relaxed);
    }
    if (missed.vacancy == kNoSlot) {
      table_.insert_prepared(hash, id);
    } else {
      table_.insert_at(missed.vacancy, hash, id);
    }
  }

  // Removes the newest node, `id` == size() - 1, entered under `hash` with
  // these inputs. An anchor once marked as having more nodes stays so, which
  // only costs its lookups a table probe.
  template <class Id, class HashOf>
  void erase_newest(std::uint64_t hash, std::span<const Id> inputs, std::uint32_t id, HashOf&& hash_of) noexcept {
    anchored_.pop_back();
    if (!inputs.empty()) {
      std::atomic<std::uint64_t>& slot = anchored_[anchor_of(inputs)];
      // The anchor's first node: every later one, being newer, is gone.
      if (static_cast<std::uint32_t>(slot.load(std::memory_order_relaxed)) == id) {
        slot.store(kNone, std::memory_order_relaxed);
        return;
      }
    }
    const std::size_t slot = table_.find_slot(hash, [&](std::uint64_t h) { return h == id; });
    if (slot != Table::npos) table_.erase(slot, as_handle_hash(hash_of));
  }

 private:
  using Table = HandleTable<32>;
  // A summary: (hash >> kSliceShift) << kSliceShift | kMore if later nodes
  // followed | the first node (kNone: none).
  static constexpr int kSliceShift = 33;
  static constexpr std::uint64_t kMore = std::uint64_t{1} << 32;
  static constexpr std::size_t kNoSlot = Table::npos;
  template <class HashOf>
  static auto as_handle_hash(HashOf& hash_of) {
    return [&hash_of](std::uint64_t h) { return hash_of(static_cast<std::uint32_t>(h)); };
  }
  Table table_;
  // node -> the summary of the nodes anchored at it; entries never move,
  // for `first_at`
  AppendOnly<std::atomic<std::uint64_t>> anchored_;
};

}  // namespace tavrine
