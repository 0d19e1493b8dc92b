#pragma once
// The storage behind a Store and its snapshots. Only store.h and store.cpp
// use it; it is a header so that node access inlines into the hot loops of
// the views, the blob writer and the optimizer.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "store/node.h"
#include "store/payload.h"
#include "support/append_only.h"

namespace tavrine::detail {

inline constexpr std::uint32_t kNoNode = UINT32_MAX;

// One node. Up to two inputs are kept inline: a repeated lookup of the
// common one- and two-input nodes then touches one record instead of a
// record and the arena. A record never changes once it is stored.
struct NodeRec {
  std::uint32_t payload;
  std::uint32_t n_inputs;
  union {
    const NodeId* far;
    NodeId near[2];
  } in;

  NodeRec(std::uint32_t p, std::span<const NodeId> inputs, const NodeId* far) noexcept
      : payload(p), n_inputs(static_cast<std::uint32_t>(inputs.size())) {
    if (n_inputs <= 2) {
      in.near[0] = n_inputs > 0 ? inputs[0] : 0;
      in.near[1] = n_inputs > 1 ? inputs[1] : 0;
    } else {
      in.far = far;
    }
  }
  const NodeId* inputs() const noexcept { return n_inputs <= 2 ? in.near : in.far; }
};
static_assert(sizeof(NodeRec) == 24);

// Inputs of nodes with more than two, in chunks that never move; a node's
// inputs are contiguous within one chunk.
class InputArena {
 public:
  // A copy of `ids` (may throw std::bad_alloc, then nothing changed).
  const NodeId* copy(std::span<const NodeId> ids) {
    if (ids.empty()) return nullptr;
    if (ids.size() > left_) {
      std::size_t n = std::max<std::size_t>(kChunk, ids.size());
      if (chunks_.size() == chunks_.capacity()) chunks_.reserve(std::max<std::size_t>(8, chunks_.size() * 2));
      chunks_.push_back(std::make_unique_for_overwrite<NodeId[]>(n));  // cannot throw after the reserve
      cur_ = chunks_.back().get();
      left_ = n;
      held_ += n * sizeof(NodeId);
    }
    NodeId* out = cur_;
    std::memcpy(out, ids.data(), ids.size() * sizeof(NodeId));
    cur_ += ids.size();
    left_ -= ids.size();
    return out;
  }
  std::size_t memory_bytes() const noexcept { return held_; }

 private:
  static constexpr std::size_t kChunk = std::size_t{1} << 16;
  std::vector<std::unique_ptr<NodeId[]>> chunks_;
  NodeId* cur_ = nullptr;
  std::size_t left_ = 0;
  std::size_t held_ = 0;
};

// Storage shared by a store and its snapshots: append-only, so a snapshot
// reads what existed when it was taken without holding any lock.
struct StoreData {
  explicit StoreData(std::uint64_t seed) : payloads(seed) {}
  AppendOnly<NodeRec> nodes;
  PayloadInterner payloads;
  InputArena arena;
  // The node count readers without the lock may rely on (release-stored
  // after each new node is complete and entered in the index).
  std::atomic<std::uint64_t> published{0};
};

}  // namespace tavrine::detail
