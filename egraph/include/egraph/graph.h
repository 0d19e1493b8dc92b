#pragma once
// The e-graph: e-classes of equivalent e-nodes, a union-find over class ids, and a
// hash-cons (memo) from rooted e-nodes (every child a class root) to classes.
//
// Contract:
// - Ids are handed out densely from 0 (fewer than 2^30 - 1 of them); every new id is a new
//   e-node stored once in the node arena at the same index (node i is the node that created
//   class i). Parent lists,
//   pending entries, class node lists and memo keys all refer to arena nodes by index, so
//   memory stays linear in the graph however wide its nodes are; a node's children are
//   rewritten in place to their roots when it is re-rooted.
// - Memo: every key equals the current content of the arena node it lives in and was
//   rooted when inserted. A key that stops being rooted (a child is no longer a root)
//   can never be found again, because every lookup and insert roots its children first; such keys
//   are dropped from the table when their node is re-rooted but stay counted:
//   total_size() is the number of distinct keys ever inserted, as if they had been kept.
// - Parent lists: node n is listed once per occurrence of each child, in order of addition;
//   union concatenates them (longer list first).
// - Classes are visited in ascending root-id order ("table order"). After rebuild() every
//   class's nodes are rooted, sorted and duplicate-free, and the operator index lists,
//   per registered (op, arity), the ascending roots of the classes holding such a node.
// - The clean flag is true only between a rebuild and the next new node or union call;
//   searching needs a clean e-graph.
// - Not thread-safe: one e-graph belongs to one thread at a time. Const members (find,
//   lookup, search, the cache hints) never write.
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "egraph/deadline.h"
#include "egraph/language.h"
#include "support/big_alloc.h"
#include "support/handle_table.h"
#include "support/prefetch.h"

namespace egraph {

// Index of an e-node in the arena; equal to the class id the node created.
using NodeIndex = std::uint32_t;

using tavrine::BigVec;

class EGraph {
 public:
  EGraph();

  // Optional capacity hint for `nodes` more e-nodes with `children` child ids in all; it
  // saves regrowing the tables while a large graph is added. Never required.
  void reserve(std::size_t nodes, std::size_t children);

  // Adds the node (children rooted with find) unless an equal node exists; returns
  // the root of its class.
  ClassId add(const SymbolLang& node) { return add(node.op, node.children.span()); }
  ClassId add(Symbol op, std::span<const ClassId> children);
  // The same for children that are all roots, with their hash_enode already computed.
  ClassId add_rooted(Symbol op, std::span<const ClassId> roots, std::uint64_t hash);

  // Adds a whole graph in one call: node i has operator ops[i] and the children at positions
  // child_pos[child_off[i]] .. child_pos[child_off[i + 1] - 1], each smaller than i; out[i]
  // receives find(add(node i)). Exactly the same as those adds in order, only faster: the
  // memory each add will touch is fetched a few nodes ahead. child_off has ops.size() + 1
  // entries. Panics on a child position that is not smaller than its node's.
  // `deadline` (optional) is ticked once per node; only its interrupt is consulted.
  void add_graph(std::span<const Symbol> ops, std::span<const std::uint32_t> child_off,
                 std::span<const std::uint32_t> child_pos, std::span<ClassId> out,
                 const Deadline* deadline = nullptr);
  // The same with node i's operator given as the number op_numbers[i]: the symbol whose
  // value is op_numbers[i] + 1 (a caller's own numbering, see Symbol::from_value).
  void add_graph(std::span<const std::uint32_t> op_numbers, std::span<const std::uint32_t> child_off,
                 std::span<const std::uint32_t> child_pos, std::span<ClassId> out,
                 const Deadline* deadline = nullptr);

  // Root of the class holding the node (children rooted with find), if any. Never adds.
  std::optional<ClassId> lookup(const SymbolLang& node) const { return lookup(node.op, node.children.span()); }
  std::optional<ClassId> lookup(Symbol op, std::span<const ClassId> children) const;

  // Root of `id`'s class; reads only. Panics for an id that was never handed out.
  ClassId find(ClassId id) const {
    check_id(id);
    return root_of(id);
  }
  // Root of `id`'s class, halving the path on the way.
  ClassId find_mut(ClassId id) {
    check_id(id);
    return root_of_mut(id);
  }

  // The root of every id, indexed by id; the e-graph is left empty (its memory given back
  // before the caller builds on the result).
  BigVec<ClassId> take_roots() &&;

  // Merges the classes of a and b; true when two different classes were merged. Always
  // leaves the e-graph dirty. The root with more parent entries survives (ties: a's).
  bool union_classes(ClassId a, ClassId b);

  // Restores congruence and rooted class contents; returns the number of merges made.
  std::size_t rebuild();
  // The same, but stops once `deadline` has passed: returns false then, with the merges
  // made so far kept (sound: equal nodes are only left unmerged) and the e-graph dirty.
  bool rebuild_until(const Deadline& deadline, std::size_t& merges);

  // Number of memo entries (distinct keys ever inserted, stale ones included).
  std::size_t total_size() const noexcept { return memo_.size() + dead_keys_; }
  std::size_t number_of_classes() const noexcept { return live_classes_; }
  // Memo keys actually held (live ones); never more than the number of ids.
  std::size_t stored_keys() const noexcept { return memo_.size(); }
  std::size_t number_of_ids() const noexcept { return parent_.size(); }
  bool is_clean() const noexcept { return clean_; }

  // ---- Inspection ----------------------------------------------------------------------
  // Root ids in table order (ascending).
  std::vector<ClassId> class_ids() const;
  // Calls f(n) for each parent entry of find(id)'s class, newest first: node n as it is now,
  // added as id n. Panics for an id never handed out.
  template <class F>
  void for_each_parent(ClassId id, F&& f) const {
    for (std::uint32_t e = parents_[class_root(id)].head; e != kNil; e = parent_pool_[e].next) f(parent_pool_[e].node);
  }
  std::size_t pending_count() const noexcept { return pending_.size() + fresh_pending_; }
  // Work done by all rebuilds so far: each pending entry taken counts one, plus the children
  // it had to read. Grows linearly in the number of queued entries, whatever the graph's
  // width.
  std::size_t rebuild_work() const noexcept { return rebuild_work_; }
  // Duplicate nodes removed by the last rebuild.
  std::size_t last_trimmed() const noexcept { return last_trimmed_; }

  // ---- Read access for the matching machine --------------------------------------------
  // Node refs of the class rooted at `root`, in stored order. Panics "Invalid id " when
  // `root` is not a root.
  std::span<const NodeIndex> class_refs(ClassId root) const;
  // The same for an id known to be a root, unchecked; `self` holds the one node of a class
  // never merged (its root's own), so that nothing else is read for it.
  std::span<const NodeIndex> root_refs(ClassId root, NodeIndex& self) const noexcept {
    const std::uint32_t li = list_of_[root];
    if (li == kSingle) {
      self = root;
      return {&self, 1};
    }
    return lists_[li].span();
  }
  Symbol node_op(NodeIndex n) const noexcept { return nodes_[n].op; }
  std::span<const ClassId> node_children(NodeIndex n) const noexcept {
    const NodeRec& r = nodes_[n];
    return {kids_of(r), arity_of(r)};
  }

  // Operator index: for a registered (op, arity), the ascending roots of the classes holding
  // such a node, kept up to date by add and rebuild (valid while clean). Registering scans
  // the nodes once. Searches for other operators visit every class instead, which finds the
  // same matches.
  void index_op(Symbol op, std::uint32_t arity) {
    const std::pair<Symbol, std::uint32_t> one[] = {{op, arity}};
    index_ops(one);
  }
  // Registers several operators with one scan.
  void index_ops(std::span<const std::pair<Symbol, std::uint32_t>> ops);
  // The list for a registered (op, arity), or nullptr.
  const std::vector<ClassId>* indexed_classes(Symbol op, std::uint32_t arity) const;
  // Cache hints for bulk loops, in hops issued a few steps ahead of use (hop 0 furthest
  // ahead, each later hop reading what the previous one fetched). They never change the
  // e-graph and have no effect on results.
  // For visiting the nodes of class `root` (search).
  void prefetch_class(ClassId root, int hop) const noexcept;
  // For add_rooted with this hash (apply): hop 0 fetches the hash-cons slot, hop 1
  // the node it names, hop 2 that node's class entry. False when the slot names no node
  // (the add will make a new one).
  bool prefetch_add(std::uint64_t hash, int hop) const noexcept;
  // For union_classes(a, b); an id out of range is ignored. Stage 2 fetches the newest
  // parent entry of each class (what a union walks when the class loses).
  void prefetch_union(ClassId a, ClassId b, int hop) const noexcept;

  // True when the kind index has an entry (a rebuild has seen at least one class).
  bool kind_index_nonempty() const noexcept { return kind_index_nonempty_; }
  bool is_root(ClassId id) const noexcept { return id < parent_.size() && parent_[id] == id; }

  // Root without bounds check (id must be valid).
  ClassId root_of(ClassId id) const noexcept {
    while (parent_[id] != id) id = parent_[id];
    return id;
  }

 private:
  // An arena node in 16 bytes, so that one cache line holds four and a node's
  // operator and children arrive together: up to two children inline, more in
  // child_pool_. `meta` holds an arity code in its top two bits (0 to 2: that
  // many inline children; 3: kids = {first child in child_pool_, arity}) and,
  // below, the value of the memo key stored through this node (kNoMemo if none).
  struct NodeRec {
    NodeRec(Symbol o, std::uint32_t m, ClassId k0, ClassId k1) noexcept : op(o), meta(m), kids{k0, k1} {}
    Symbol op;
    std::uint32_t meta;
    ClassId kids[2];
  };
  static constexpr std::uint32_t kNoMemo = (std::uint32_t{1} << 30) - 1;  // every id is below it
  static std::uint32_t arity_of(const NodeRec& r) noexcept {
    const std::uint32_t code = r.meta >> 30;
    return code < 3 ? code : r.kids[1];
  }
  const ClassId* kids_of(const NodeRec& r) const noexcept {
    return (r.meta >> 30) < 3 ? r.kids : child_pool_.data() + r.kids[0];
  }
  ClassId* kids_of(NodeRec& r) noexcept { return (r.meta >> 30) < 3 ? r.kids : child_pool_.data() + r.kids[0]; }
  static ClassId memo_of(const NodeRec& r) noexcept { return r.meta & kNoMemo; }
  static void set_memo(NodeRec& r, ClassId value) noexcept { r.meta = (r.meta & ~kNoMemo) | value; }
  // Parent entries of a class, newest first: a singly linked list through parent_pool_, so
  // that adding a parent touches only this record. A union walks the loser's list anyway
  // (to queue its entries), finding its oldest entry on the way, which is all the splice
  // needs. Entry node i stands for the pair (node i, class id i).
  struct ParentList {
    std::uint32_t head = kNil;  // newest entry
    std::uint32_t count = 0;
  };
  struct ParentEntry {
    ParentEntry(NodeIndex n, std::uint32_t nx) noexcept : node(n), next(nx) {}
    NodeIndex node;
    std::uint32_t next;
  };
  static constexpr std::uint32_t kNil = 0xFFFFFFFFu;

  // The hash-cons: the one handle table, keyed by e-node content. An entry holds a slice of
  // the key's hash and the arena node the key lives in; the key's class is that node's
  // memo value (a node stores at most one key at a time). The bulk paths fetch a key's slot
  // ahead, so a lookup and the insert after it find the slot in cache. `hash_of(node)`
  // recomputes a stored key's hash (the table needs it only when it grows past 2^32 slots).
  class Memo {
   public:
    using Table = tavrine::HandleTable<32, 70>;
    static constexpr NodeIndex kEmpty = 0xFFFFFFFFu;
    static constexpr std::size_t npos = Table::npos;

    std::size_t size() const noexcept { return table_.size(); }
    // The node holding the key for which eq(ref) holds, or kEmpty.
    template <class Eq>
    NodeIndex find_ref(std::uint64_t hash, Eq&& eq) const {
      const std::size_t slot = table_.find_slot(hash, eq);
      return slot == npos ? kEmpty : static_cast<NodeIndex>(table_.handle_at(slot));
    }
    // Table slot of the key for which eq(ref) holds, or npos.
    template <class Eq>
    std::size_t find_slot(std::uint64_t hash, Eq&& eq) const {
      return table_.find_slot(hash, eq);
    }
    // Adds a key known to be absent.
    template <class HashOf>
    void insert_new(std::uint64_t hash, NodeIndex ref, HashOf&& hash_of) {
      table_.insert(hash, ref, hash_of);
    }
    void prefetch(std::uint64_t hash) const noexcept { table_.prefetch(hash); }
    template <class HashOf>
    void reserve(std::size_t n, HashOf&& hash_of) {
      table_.reserve(n, hash_of);
    }
    // The node in the first entry of the key's probe run whose hash slice matches, or kEmpty
    // (a cache hint: no equality check).
    NodeIndex peek(std::uint64_t hash) const noexcept {
      const auto h = table_.find(hash, [](std::uint64_t) { return true; });
      return h == npos ? kEmpty : static_cast<NodeIndex>(h);
    }
    template <class HashOf>
    void erase(std::size_t slot, HashOf&& hash_of) {
      table_.erase(slot, hash_of);
    }
    NodeIndex ref_at(std::size_t slot) const noexcept { return static_cast<NodeIndex>(table_.handle_at(slot)); }

   private:
    Table table_;
  };

  // (op, arity) -> slot of the operator index; holds only registered operators.
  class SlotMap {
   public:
    std::uint32_t get_or_add(Symbol op, std::uint32_t arity);
    std::uint32_t get(Symbol op, std::uint32_t arity) const;  // kNone when absent
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

   private:
    static std::uint64_t key_of(Symbol op, std::uint32_t arity) noexcept {
      return (static_cast<std::uint64_t>(op.value()) << 32) | arity;
    }
    static std::uint64_t hash_of(std::uint64_t key) noexcept { return hash_word(0, key); }
    std::vector<std::uint64_t> keys_;  // per slot
    tavrine::HandleTable<32> table_;
  };

  template <class OpOf>
  void add_graph_impl(std::size_t n, OpOf op_of, std::span<const std::uint32_t> child_off,
                      std::span<const std::uint32_t> child_pos, std::span<ClassId> out, const Deadline* deadline);
  // add_graph into an empty e-graph when no two nodes of the graph are equal: then node i
  // becomes class i, and every structure is written in a few sequential passes instead of
  // node by node. False (the e-graph left empty) when two nodes turn out equal.
  template <class OpOf>
  bool add_distinct_graph(std::size_t n, OpOf op_of, std::span<const std::uint32_t> child_off,
                          std::span<const std::uint32_t> child_pos, std::span<ClassId> out, const Deadline* deadline);
  template <class OpOf>
  bool memo_distinct_graph(std::size_t n, OpOf op_of, std::span<const std::uint32_t> child_off,
                           std::span<const std::uint32_t> child_pos, DeadlineCheck& check, std::size_t& wide);
  template <class OpOf>
  void append_distinct_graph(std::size_t n, OpOf op_of, std::span<const std::uint32_t> child_off,
                             std::span<const std::uint32_t> child_pos, std::size_t wide, DeadlineCheck& check);
  void check_id(ClassId id) const {
    if (id >= parent_.size()) [[unlikely]] bad_id(id);
  }
  [[noreturn]] void bad_id(ClassId id) const;
  ClassId root_of_mut(ClassId id) noexcept {
    while (parent_[id] != id) {
      ClassId grand = parent_[parent_[id]];
      parent_[id] = grand;
      id = grand;
    }
    return id;
  }
  ClassId class_root(ClassId id) const;  // find(id), panics for bad ids
  bool node_equals(NodeIndex n, Symbol op, std::span<const ClassId> children) const noexcept;
  bool nodes_equal(NodeIndex a, NodeIndex b) const noexcept;
  bool node_less(NodeIndex a, NodeIndex b) const noexcept;
  std::uint64_t node_hash(NodeIndex n) const noexcept { return hash_enode(nodes_[n].op, node_children(n)); }
  auto memo_hash() const noexcept {
    return [this](std::uint64_t n) { return node_hash(static_cast<NodeIndex>(n)); };
  }
  // Rewrites n's children to their roots; drops n's old (now stale) key from the memo when
  // anything changed. Returns true when a child changed.
  bool reroot_children(NodeIndex n);
  bool reinsert_is_noop(NodeIndex n) const noexcept;
  // The phases of rebuild_until.
  void prefetch_pending(std::size_t at) const noexcept;
  std::size_t rebuild_class(ClassId root);
  bool process_unions(DeadlineCheck& check, std::size_t& merges);
  bool rebuild_classes(DeadlineCheck& check, std::size_t& trimmed);
  void rebuild_index();
  void push_parent(ClassId cls, NodeIndex n);
  std::uint32_t new_list();
  void merge_lists(ClassId winner, ClassId loser);
  std::span<const NodeIndex> nodes_of(ClassId root) const noexcept;

  BigVec<NodeRec> nodes_;               // arena, indexed by NodeIndex
  BigVec<ClassId> child_pool_;           // children of arena nodes with more than two
  // Class node lists. A class never merged holds exactly the node that created it, its
  // root's own (kSingle: no list); a merged class's nodes are in lists_.
  static constexpr std::uint32_t kSingle = 0xFFFFFFFFu;
  BigVec<std::uint32_t> list_of_;              // per id; meaningful for roots only
  std::vector<SmallVec<NodeIndex, 2>> lists_;
  std::vector<std::uint32_t> free_lists_;      // slots of lists_ given up by merges
  BigVec<ClassId> parent_;               // union-find
  BigVec<ParentList> parents_;           // per id; meaningful for roots only
  BigVec<ParentEntry> parent_pool_;
  std::size_t live_classes_ = 0;
  Memo memo_;
  std::size_t dead_keys_ = 0;            // stale keys dropped from memo_ but still counted
  BigVec<NodeIndex> pending_;              // stack of nodes to re-root
  BigVec<std::uint32_t> queued_at_;        // per node: its newest position in pending_
  std::size_t rebuild_work_ = 0;           // entries handled plus children they read
  std::size_t fresh_pending_ = 0;          // new nodes since the last rebuild (pending, not queued)
  std::vector<NodeIndex> touched_;         // nodes/classes whose class needs re-sorting
  std::vector<std::uint64_t> sorted_;      // per id, a bit: re-sorted in this rebuild (all clear between)
  SlotMap slots_;
  std::vector<std::vector<ClassId>> op_classes_;  // per registered slot: ascending class ids
  std::uint64_t slot_filter_ = 0;        // one bit per registered op (hashed): quick rejection
  bool index_stale_ = false;             // unions since the operator index was last refreshed
  bool kind_index_nonempty_ = false;
  bool clean_ = false;
  std::size_t last_trimmed_ = 0;
  std::vector<ClassId> scratch_;

  friend std::ostream& operator<<(std::ostream& os, const EGraph& g);
};

// The cache hints are called in the inner loops of search and apply, several times a
// step: inline, so that each costs its loads and nothing else.
inline void EGraph::prefetch_class(ClassId root, int hop) const noexcept {
  if (root >= parent_.size()) return;
  if (hop == 0) {
    tavrine::prefetch_read(&list_of_[root]);
    return;
  }
  const std::uint32_t li = list_of_[root];
  if (li == kSingle) {
    // The class's one node is its root's own.
    if (hop == 1) {
      tavrine::prefetch_read(&nodes_[root]);
    } else if (hop == 2) {
      const NodeRec& r = nodes_[root];
      if ((r.meta >> 30) == 3) tavrine::prefetch_read(child_pool_.data() + r.kids[0]);
    } else {
      for (ClassId c : node_children(root)) tavrine::prefetch_read(&parent_[c]);
    }
    return;
  }
  const SmallVec<NodeIndex, 2>& list = lists_[li];
  switch (hop) {
    case 1:
      tavrine::prefetch_read(&list);
      break;
    case 2:
      tavrine::prefetch_read(list.data());
      for (std::uint32_t k = 0; k < list.size() && k < 2; ++k) tavrine::prefetch_read(&nodes_[list[k]]);
      break;
    default:
      for (std::uint32_t k = 0; k < list.size() && k < 2; ++k) {
        for (ClassId c : node_children(list[k])) tavrine::prefetch_read(&parent_[c]);
      }
      break;
  }
}

inline bool EGraph::prefetch_add(std::uint64_t hash, int hop) const noexcept {
  if (hop == 0) {
    memo_.prefetch(hash);
    return true;
  }
  const NodeIndex ref = memo_.peek(hash);
  if (ref == Memo::kEmpty) return false;
  if (hop == 1) {
    tavrine::prefetch_read(&nodes_[ref]);
    return true;
  }
  const NodeRec& r = nodes_[ref];
  if ((r.meta >> 30) == 3) tavrine::prefetch_read(child_pool_.data() + r.kids[0]);
  if (memo_of(r) < parent_.size()) tavrine::prefetch_read(&parent_[memo_of(r)]);
  return true;
}

inline void EGraph::prefetch_union(ClassId a, ClassId b, int hop) const noexcept {
  for (ClassId x : {a, b}) {
    if (x >= parent_.size()) continue;
    if (hop == 0) {
      tavrine::prefetch_read(&parent_[x]);
    } else if (hop == 1) {
      tavrine::prefetch_write(&parents_[parent_[x]]);
      tavrine::prefetch_write(&list_of_[parent_[x]]);
    } else {
      // The newest parent entry, which a union walks first should this class lose.
      const std::uint32_t head = parents_[parent_[x]].head;
      if (head != kNil) tavrine::prefetch_read(&parent_pool_[head]);
    }
  }
}

// Debug dump: one line per class with its nodes.
std::ostream& operator<<(std::ostream& os, const EGraph& g);

}  // namespace egraph
