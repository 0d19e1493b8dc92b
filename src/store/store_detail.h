#pragma once
// The storage behind a Store and its snapshots. Only store.h and store.cpp
// use it; it is a header so that node access inlines into the hot loops of
// the views, the blob writer and the optimizer.
#include <atomic>
#include <cstdint>
#include <span>

#include "store/node.h"
#include "store/payload.h"
#include "support/append_only.h"
#include "support/arena.h"

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

// Storage shared by a store and its snapshots: append-only, so a snapshot
// reads what existed when it was taken without holding any lock.
struct StoreData {
  explicit StoreData(std::uint64_t seed) : payloads(seed) {}
  AppendOnly<NodeRec> nodes;
  PayloadInterner payloads;
  // Inputs of nodes with more than two.
  Arena<NodeId> arena;
  // The node count readers without the lock may rely on (release-stored
  // after each new node is complete and entered in the index).
  std::atomic<std::uint64_t> published{0};
};

}  // namespace tavrine::detail
