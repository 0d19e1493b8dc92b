#pragma once
// The graph store: an interned, append-only sequence of nodes plus output
// marks, shared by any number of threads.
//
// Contract
//  - Hash-consing: `intern` returns the id of the structurally identical node
//    if one is recorded, else appends the node under the next dense id.
//    Every input id of node i is smaller than i; ids are never reused, nodes
//    never change, marks are never removed.
//  - Locking: one mutex guards all state. Every operation holds it from start
//    to end and calls nothing that could re-enter the store; no Python code
//    ever runs under it (callers convert before and build results after).
//  - Poisoning: an exception escaping while the lock is held (resource
//    exhaustion) poisons the store; every later operation panics with
//    "tavrine-core store mutex poisoned: PoisonError { .. }".
//  - Storage: node records, their payloads and their inputs live in
//    append-only storage whose elements never move. A `Snapshot` therefore
//    shares the storage instead of copying it: it sees exactly the nodes that
//    existed when it was taken, reads them without the lock, and keeps the
//    storage alive after the store itself is gone.
//  - Payloads: the part of a node other than its inputs (kind, name, params,
//    descriptor, members) is interned once per store; two nodes have equal
//    payload ids exactly when those parts are structurally equal.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "support/expected.h"
#include "store/node.h"
#include "support/poison.h"
#include "store/store_detail.h"

namespace tavrine {

// The store's one error: an id that names no node.
struct BadNodeId {
  NodeId id;
  std::string message() const;  // "no node with id {}"
};


// Read access to one stored node; valid while its Snapshot (or Store) lives.
class NodeView {
 public:
  NodeKind kind() const noexcept { return payload_->kind; }
  std::string_view name() const noexcept { return payload_->name; }  // empty for kinds without a name
  const ParamMap& params() const noexcept { return payload_->params; }
  const PayloadDescriptor* descriptor() const noexcept { return payload_->descriptor.get(); }  // External only
  std::span<const NodeId> inputs() const noexcept { return {inputs_, n_inputs_}; }
  std::span<const StageMember> members() const noexcept { return payload_->members; }
  // Equal exactly when kind, name, params, descriptor and members are equal
  // (within one store): lets callers compute per-payload facts once.
  std::uint32_t payload_id() const noexcept { return payload_id_; }
  Node to_node() const;  // an owned copy

 private:
  friend class Snapshot;
  NodeView(const detail::Payload* p, const NodeId* in, std::uint32_t n, std::uint32_t pid)
      : payload_(p), inputs_(in), n_inputs_(n), payload_id_(pid) {}
  const detail::Payload* payload_;
  const NodeId* inputs_;
  std::uint32_t n_inputs_;
  std::uint32_t payload_id_;
};

// The nodes [begin, end) of a store as they were when it was taken, plus a
// copy of the marks of that moment (for `snapshot`; empty for `nodes_since`).
class Snapshot {
 public:
  Snapshot() = default;
  NodeId begin_id() const noexcept { return begin_; }
  NodeId end_id() const noexcept { return end_; }
  std::size_t size() const noexcept { return static_cast<std::size_t>(end_ - begin_); }
  bool empty() const noexcept { return end_ == begin_; }
  // The node with store id `id`, begin_id() <= id < end_id().
  NodeView node(NodeId id) const noexcept {
    const detail::NodeRec& r = data_->nodes[static_cast<std::size_t>(id)];
    return NodeView(&data_->payloads[r.payload], r.inputs(), r.n_inputs, r.payload);
  }
  // Number of distinct payloads referenced so far (an upper bound on the
  // payload ids seen in this snapshot).
  std::uint32_t payload_count() const noexcept { return payload_count_; }
  const std::vector<NodeId>& marks() const noexcept { return marks_; }

 private:
  friend class Store;
  std::shared_ptr<const detail::StoreData> data_;
  NodeId begin_ = 0;
  NodeId end_ = 0;
  std::uint32_t payload_count_ = 0;
  std::vector<NodeId> marks_;
};

class Store {
 public:
  Store();  // `create`: empty, with a fresh random hash seed
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Records the node (copying it) or finds the identical one. Fails with the
  // first input id that is not below the node count; the store is unchanged.
  Expected<NodeId, BadNodeId> intern(const NodeRef& node);
  Expected<NodeId, BadNodeId> intern(const Node& node) { return intern(NodeRef::of(node)); }
  // Appends `id` to the marks unless it is already marked.
  Expected<Ok, BadNodeId> mark_output(NodeId id);

  std::uint64_t node_count() const;
  std::vector<NodeId> outputs() const;
  // All nodes and the marks, taken under one holding of the lock.
  Snapshot snapshot() const;
  // Nodes from min(start, count) to the end; no marks.
  Snapshot nodes_since(NodeId start) const;
  // Checks `ids` in order against the node count and, if all are valid,
  // returns all nodes (no marks) under the same holding of the lock.
  Expected<Snapshot, BadNodeId> snapshot_checked(std::span<const NodeId> ids) const;

 private:
  struct Index;  // writer-side tables, only touched under the lock
  // A plain pair comes back in registers; the Expected is built outside.
  struct InternOutcome {
    NodeId id;  // the node's id, or the offending input id
    bool bad;
  };
  InternOutcome intern_locked(const NodeRef& node, std::span<const NodeId> inputs);
  Snapshot make_snapshot_locked(NodeId begin, bool with_marks) const;
  mutable PoisonMutex mutex_{"tavrine-core store mutex poisoned"};
  std::shared_ptr<detail::StoreData> data_;
  std::unique_ptr<Index> index_;
};

}  // namespace tavrine
