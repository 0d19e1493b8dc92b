#pragma once
// The storage behind a Store and its snapshots. Only store.h and store.cpp
// use it; it is a header so that node access inlines into the hot loops of
// the views, the blob writer and the optimizer.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "support/append_only.h"
#include "store/node.h"

namespace tavrine {

namespace detail {

// The part of a node other than its inputs, interned once per store. Only
// the fields of the kind are set; the others stay empty.
struct Payload {
  NodeKind kind;
  std::string name;
  ParamMap params;
  std::shared_ptr<const PayloadDescriptor> descriptor;
  std::vector<StageMember> members;
};

// Up to two inputs are kept inline: a repeated lookup of the common one- and
// two-input nodes then touches one record instead of a record and the arena.
struct NodeRec {
  std::uint32_t payload;
  std::uint32_t n_inputs;
  union {
    const NodeId* far;
    NodeId near[2];
  } in;
  const NodeId* inputs() const noexcept { return n_inputs <= 2 ? in.near : in.far; }
};
static_assert(sizeof(NodeRec) == 24);

// Inputs of all nodes, in chunks that never move; a node's inputs are
// contiguous within one chunk.
class InputArena {
 public:
  const NodeId* copy(std::span<const NodeId> ids) {
    if (ids.empty()) return nullptr;
    if (ids.size() > left_) {
      std::size_t n = std::max<std::size_t>(kChunk, ids.size());
      chunks_.push_back(std::make_unique_for_overwrite<NodeId[]>(n));
      cur_ = chunks_.back().get();
      left_ = n;
    }
    NodeId* out = cur_;
    std::memcpy(out, ids.data(), ids.size() * sizeof(NodeId));
    cur_ += ids.size();
    left_ -= ids.size();
    return out;
  }

 private:
  static constexpr std::size_t kChunk = std::size_t{1} << 16;
  std::vector<std::unique_ptr<NodeId[]>> chunks_;
  NodeId* cur_ = nullptr;
  std::size_t left_ = 0;
};

// Storage shared by a store and its snapshots: append-only, so a snapshot
// reads what existed when it was taken without holding any lock.
struct StoreData {
  AppendOnly<NodeRec> nodes;
  AppendOnly<Payload> payloads;
  InputArena arena;
};

}  // namespace detail

}  // namespace tavrine
