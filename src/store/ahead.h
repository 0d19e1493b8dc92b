#pragma once
// Interning a whole sequence of nodes under one batch, each looked up a few
// nodes before it is interned.
//
// A blob being read and a reduced graph being stored both hand a fresh store
// their nodes in order, each naming its inputs by position in that same
// sequence. Once the store's tables outgrow the cache, every intern waits
// for the index slot it probes. Here a node is looked up `distance`
// positions before it is interned and its slot fetched meanwhile, so the
// wait overlaps the work on the nodes in between.
//
// Contract
//  - Positions: the node pushed at position k names its inputs by positions
//    below k (the caller checks that). It is interned with them mapped to
//    the ids the store gave those positions: the identity while every node
//    got the id equal to its position (no node repeated an earlier one),
//    the recorded ids from the first that did not. `id_of(pos)` is that id,
//    for any position already interned.
//  - Order: nodes are interned in position order, each by the time
//    `distance` more have been pushed, all of them by `finish`. The store
//    sees exactly the interns it would if each node were interned at its
//    push; only the moment differs.
//  - Entries: the caller fills `next()` (the inputs, and the payload's bytes
//    when they do not outlive the interner) and then pushes the payload,
//    whose bytes are either stable or those of `next().bytes`.
//  - Failure: `push` and `finish` return the store's BadNodeId for an input
//    that names no node (only a caller that broke the first rule can cause
//    it) and pass on what the store's intern throws; after either, the
//    interner is not used again.
#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "store/store.h"
#include "support/big_alloc.h"
#include "support/expected.h"
#include "support/panic.h"
#include "support/prefetch.h"

namespace tavrine {

class AheadInterner {
 public:
  // At most this many positions ahead.
  static constexpr std::uint32_t kMaxDistance = 8;

  struct Entry {
    std::string bytes;           // the payload's bytes, when they are not stable
    std::vector<NodeId> inputs;  // positions
  };

  // distance 0: each node is interned when it is pushed.
  AheadInterner(Store::Batch& batch, std::uint32_t distance) noexcept;

  // Changes the distance; only before the first push.
  void look_ahead_by(std::uint32_t distance) noexcept;

  // The entry of the next position, to fill before `push`.
  Entry& next() noexcept { return ring_[pushed_].entry; }
  Expected<Ok, BadNodeId> push(const PayloadKey& payload);
  // Interns a node at the next position now, with nothing copied: for
  // distance 0, where no node waits.
  Expected<Ok, BadNodeId> push_now(const PayloadKey& payload, std::span<const NodeId> inputs);
  std::uint32_t distance() const noexcept { return distance_; }
  // Interns every node still waiting.
  Expected<Ok, BadNodeId> finish();

  std::uint64_t pushed() const noexcept { return pushed_; }
  std::uint64_t interned() const noexcept { return interned_; }
  NodeId id_of(std::uint64_t pos) const noexcept { return pos < diverged_at_ ? pos : ids_[pos - diverged_at_]; }

 private:
  struct Slot {
    Entry entry;
    PayloadKey payload;
    Store::Batch::Lookup lookup;  // made at the push unless ids and positions had parted
  };
  bool diverged() const noexcept { return diverged_at_ != kNever; }
  Expected<Ok, BadNodeId> intern(std::uint64_t pos);
  Expected<Ok, BadNodeId> settle(std::uint64_t pos, const Expected<NodeId, BadNodeId>& id);

  static constexpr std::uint64_t kNever = UINT64_MAX;
  Store::Batch& batch_;
  std::uint32_t distance_;
  std::uint64_t pushed_ = 0;
  std::uint64_t interned_ = 0;
  // The first position whose id differs from it, and the ids from there on.
  std::uint64_t diverged_at_ = kNever;
  BigVec<NodeId> ids_;
  AheadRing<Slot, 2 * kMaxDistance> ring_;
};

inline AheadInterner::AheadInterner(Store::Batch& batch, std::uint32_t distance) noexcept
    : batch_(batch), distance_(std::min(distance, kMaxDistance)) {}

inline void AheadInterner::look_ahead_by(std::uint32_t distance) noexcept {
  if (pushed_ == 0) distance_ = std::min(distance, kMaxDistance);
}

inline Expected<Ok, BadNodeId> AheadInterner::push(const PayloadKey& payload) {
  Slot& s = ring_[pushed_];
  s.payload = payload;
  // Once ids and positions part, a lookup made from positions would be
  // stale; the node is looked up when it is interned instead. (They part in
  // position order, so a node interned before they do was looked up here.)
  if (!diverged()) s.lookup = batch_.look_ahead(NodeRef{payload, s.entry.inputs});
  const std::uint64_t pos = pushed_++;
  if (pos < distance_) return Ok{};
  return intern(pos - distance_);
}

inline Expected<Ok, BadNodeId> AheadInterner::finish() {
  while (interned_ < pushed_) {
    auto done = intern(interned_);
    if (!done) return done;
  }
  return Ok{};
}

inline Expected<Ok, BadNodeId> AheadInterner::intern(std::uint64_t pos) {
  Slot& s = ring_[pos];
  std::vector<NodeId>& inputs = s.entry.inputs;
  if (!diverged()) return settle(pos, batch_.intern(NodeRef{s.payload, inputs}, s.lookup));
  for (NodeId& in : inputs) in = id_of(in);
  return settle(pos, batch_.intern(NodeRef{s.payload, inputs}));
}

inline Expected<Ok, BadNodeId> AheadInterner::push_now(const PayloadKey& payload, std::span<const NodeId> inputs) {
  expect(interned_ == pushed_, "a node is interned now only when none waits");
  if (diverged()) {
    std::vector<NodeId>& mapped = ring_[pushed_].entry.inputs;
    mapped.clear();
    for (NodeId in : inputs) mapped.push_back(id_of(in));
    inputs = mapped;
  }
  const std::uint64_t pos = pushed_++;
  return settle(pos, batch_.intern(NodeRef{payload, inputs}));
}

inline Expected<Ok, BadNodeId> AheadInterner::settle(std::uint64_t pos, const Expected<NodeId, BadNodeId>& id) {
  if (!id) [[unlikely]] return unexpected(id.error());
  interned_ = pos + 1;
  if (!diverged()) {
    if (*id == pos) [[likely]] return Ok{};
    diverged_at_ = pos;  // the first node that repeated an earlier one
  }
  ids_.push_back(*id);
  return Ok{};
}

}  // namespace tavrine
