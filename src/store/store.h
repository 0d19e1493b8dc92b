#pragma once
// The graph store: an interned, append-only sequence of nodes plus output
// marks, shared by any number of threads.
//
// Contract
//  - Hash-consing: `intern` returns the id of the structurally identical node
//    if one is recorded, else appends the node under the next dense id.
//    Every input id of node i is smaller than i; ids are never reused, nodes
//    never change, marks are never removed.
//  - Locking: one mutex guards all writes. Every writing operation holds it
//    from start to end and calls nothing that could re-enter the store; no
//    Python code ever runs under it (callers convert before and build
//    results after).
//  - Lookup: one hash-consing index (support/node_index.h) over the whole
//    (payload, inputs) key, so a lookup costs at most one probe and one
//    record comparison, whatever the graph's shape. Two kinds of repeat are
//    found without the lock and without the probe: the first node to read
//    its largest input (the common case), and the node after the one the
//    same thread's last intern returned (a graph recorded again in its
//    first order). Nodes and the index's summary are published by release
//    stores once complete, and nodes never change.
//  - Failure: an operation that cannot allocate throws std::bad_alloc and
//    leaves the store exactly as it was (room is made first, the node
//    published last), and the store stays usable. Any other exception
//    escaping while the lock is held (a broken invariant) poisons the store:
//    every later operation panics with
//    "tavrine-core store mutex poisoned: PoisonError { .. }". A call that
//    cannot take the lock (taken again by its holder, or held at a fork by a
//    thread the child does not have) is refused with LockUnavailable.
//  - Storage: node records, payloads and inputs live in append-only storage
//    whose elements never move. A `Snapshot` therefore shares the storage
//    instead of copying it: it sees exactly the nodes that existed when it
//    was taken, reads them without the lock, and keeps the storage alive
//    after the store itself is gone.
//  - Payloads: the part of a node other than its inputs is interned once per
//    store (store/payload.h); two nodes have equal payload ids exactly when
//    those parts are structurally equal.
//  - Capacity: fewer than 2^32 - 1 nodes; a store that is full refuses new
//    nodes with std::length_error and stays usable.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "store/node.h"
#include "store/payload.h"
#include "store/store_detail.h"
#include "support/expected.h"
#include "support/poison.h"

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
  // Empty for kinds without a name.
  std::string_view name() const noexcept { return payload_->view().name(); }
  // Empty for a Stage.
  ParamsView params() const noexcept { return payload_->view().params(); }
  // External only.
  DescriptorView descriptor() const noexcept { return payload_->view().descriptor(); }
  // Stage only (empty otherwise).
  MembersView members() const noexcept { return payload_->view().members(); }
  std::span<const NodeId> inputs() const noexcept { return {inputs_, n_inputs_}; }
  PayloadKey payload() const noexcept { return payload_->key(); }
  // Equal exactly when the payloads are equal (within one store): lets
  // callers compute per-payload facts once.
  std::uint32_t payload_id() const noexcept { return payload_id_; }
  NodeRef ref() const noexcept { return NodeRef{payload(), inputs()}; }

 private:
  friend class Snapshot;
  NodeView(const PayloadRec* p, const NodeId* in, std::uint32_t n, std::uint32_t pid)
      : payload_(p), inputs_(in), n_inputs_(n), payload_id_(pid) {}
  const PayloadRec* payload_;
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

  // A number no other store of this process has: identifies a store without
  // keeping it alive.
  std::uint64_t serial() const noexcept { return serial_; }

  // Records the node (copying it) or finds the identical one. Fails with the
  // first input id that is not below the node count; the store is unchanged.
  Expected<NodeId, BadNodeId> intern(const NodeRef& node);
  // Appends `id` to the marks unless it is already marked.
  Expected<Ok, BadNodeId> mark_output(NodeId id);

  // Many interns under one holding of the lock, for a builder that adds a
  // whole graph (a blob being read). Other threads wait until it is gone.
  class Batch {
   public:
    explicit Batch(Store& store);
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    // What a lookup of a node needs to know before it probes, worked out
    // ahead (and its probe fetched into the cache) so that the intern a few
    // nodes later rarely waits for memory. Valid for this batch while the
    // node's inputs stay as they were when it was made.
    class Lookup {
      friend class Store;
      std::uint32_t payload = 0;  // kNoNode: not known (stored or not)
      std::uint32_t recent_slot = 0;  // where the payload is remembered as recent
      std::uint64_t payload_hash = 0;
      std::uint64_t hash = 0;
    };
    Lookup look_ahead(const NodeRef& node) const noexcept;
    Expected<NodeId, BadNodeId> intern(const NodeRef& node);
    Expected<NodeId, BadNodeId> intern(const NodeRef& node, const Lookup& lookup);
    Expected<Ok, BadNodeId> mark_output(NodeId id);
    // Room in the index's per-node summaries for `nodes` more nodes, made
    // ahead so that they do not grow step by step. A hint: the caller bounds
    // it by what its data can hold. May throw std::bad_alloc, changing
    // nothing.
    void reserve(std::size_t nodes);
    // The same for `payloads` more distinct payloads, for a caller that
    // knows a bound on how many of its nodes' payloads can be new.
    void reserve_payloads(std::size_t payloads);

   private:
    Store& store_;
  };

  std::uint64_t node_count() const;
  std::vector<NodeId> outputs() const;
  // All nodes and the marks, taken under one holding of the lock.
  Snapshot snapshot() const;
  // Nodes from min(start, count) to the end; no marks.
  Snapshot nodes_since(NodeId start) const;
  // Checks `ids` in order against the node count and, if all are valid,
  // returns all nodes (no marks) under the same holding of the lock.
  Expected<Snapshot, BadNodeId> snapshot_checked(std::span<const NodeId> ids) const;

  // Bytes held by the store's tables and storage (diagnostics, benchmarks).
  std::size_t memory_bytes() const;

 private:
  struct Index;  // writer-side tables, only touched under the lock
  // A plain pair comes back in registers; the Expected is built outside.
  struct InternOutcome {
    NodeId id;  // the node's id, or the offending input id
    bool bad;
  };
  static constexpr NodeId kNotFound = ~NodeId{0};
  NodeId find_unlocked(const NodeRef& node) const noexcept;
  Batch::Lookup look_up_locked(const NodeRef& node) const noexcept;
  InternOutcome intern_locked(const NodeRef& node, Batch::Lookup lookup);
  Expected<Ok, BadNodeId> mark_locked(NodeId id);
  Snapshot make_snapshot_locked(NodeId begin, bool with_marks) const;

  static constexpr LockTexts kLockTexts{
      "tavrine-core store mutex poisoned",
      "store is busy in this thread: a signal handler or callback called it during one of its own calls",
      "store was locked by another thread when the process forked; it cannot be used in the child process",
  };
  mutable PoisonMutex mutex_{kLockTexts};
  std::uint64_t serial_;
  std::shared_ptr<detail::StoreData> data_;
  std::unique_ptr<Index> index_;
};

}  // namespace tavrine
