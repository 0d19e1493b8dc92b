#include "egraph/graph.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <ostream>
#include <string>

#include "support/panic.h"
#include "support/prefetch.h"
#include "egraph/log.h"

namespace egraph {

// ---- SlotMap ----------------------------------------------------------------------------

std::uint32_t EGraph::SlotMap::get_or_add(Symbol op, std::uint32_t arity) {
  const std::uint32_t found = get(op, arity);
  if (found != kNone) return found;
  const std::uint64_t key = key_of(op, arity);
  const std::uint32_t slot = static_cast<std::uint32_t>(keys_.size());
  keys_.push_back(key);
  table_.insert(hash_of(key), slot, [&](std::uint64_t s) { return hash_of(keys_[s]); });
  return slot;
}

std::uint32_t EGraph::SlotMap::get(Symbol op, std::uint32_t arity) const {
  const std::uint64_t key = key_of(op, arity);
  const auto slot = table_.find(hash_of(key), [&](std::uint64_t s) { return keys_[s] == key; });
  return slot == table_.npos ? kNone : static_cast<std::uint32_t>(slot);
}

// ---- EGraph -----------------------------------------------------------------------------

EGraph::EGraph() = default;

void EGraph::bad_id(ClassId id) const {
  tavrine::panic("index out of bounds: the len is " + std::to_string(parent_.size()) + " but the index is " +
        std::to_string(id));
}

namespace {
std::uint64_t filter_bit(Symbol op) { return std::uint64_t{1} << ((op.value() * kHashSeedMul) >> 58); }
}  // namespace

ClassId EGraph::class_root(ClassId id) const {
  // Every root owns a class; a loser class is removed exactly when it stops being a root.
  check_id(id);
  return root_of(id);
}

void EGraph::push_parent(ClassId cls, NodeIndex n) {
  ParentList& l = parents_[cls];
  const std::uint32_t e = static_cast<std::uint32_t>(parent_pool_.size());
  parent_pool_.emplace_back(n, l.head);
  l.head = e;
  ++l.count;
}

bool EGraph::node_equals(NodeIndex n, Symbol op, std::span<const ClassId> children) const noexcept {
  const NodeRec& r = nodes_[n];
  if (r.op != op || arity_of(r) != children.size()) return false;
  const ClassId* mine = kids_of(r);
  for (std::size_t k = 0; k < children.size(); ++k) {
    if (mine[k] != children[k]) return false;
  }
  return true;
}

bool EGraph::nodes_equal(NodeIndex a, NodeIndex b) const noexcept {
  return node_equals(a, nodes_[b].op, node_children(b));
}

bool EGraph::node_less(NodeIndex a, NodeIndex b) const noexcept {
  return compare_enodes(nodes_[a].op, node_children(a), nodes_[b].op, node_children(b)) < 0;
}

void EGraph::reserve(std::size_t nodes, std::size_t children) {
  const std::size_t n = parent_.size() + nodes;
  parent_.reserve(n);
  parents_.reserve(n);
  nodes_.reserve(n);
  list_of_.reserve(n);
  // Only unions write it, but reserving costs no memory until then, and
  // growing it mid-run would copy it and leave the old copy behind.
  queued_at_.reserve(n);
  child_pool_.reserve(child_pool_.size() + children);
  parent_pool_.reserve(parent_pool_.size() + children);
  memo_.reserve(memo_.size() + nodes, memo_hash());
}

std::optional<ClassId> EGraph::lookup(Symbol op, std::span<const ClassId> children) const {
  IdList canon;
  canon.resize(static_cast<std::uint32_t>(children.size()));
  for (std::size_t k = 0; k < children.size(); ++k) canon[k] = find(children[k]);
  const std::uint64_t h = hash_enode(op, canon.span());
  const NodeIndex holder = memo_.find_ref(h, [&](NodeIndex n) { return node_equals(n, op, canon.span()); });
  if (holder == Memo::kEmpty) return std::nullopt;
  return root_of(memo_of(nodes_[holder]));
}

ClassId EGraph::add(Symbol op, std::span<const ClassId> children) {
  const std::size_t arity = children.size();
  // Rooted children: on the stack for the usual short lists.
  ClassId local[8];
  ClassId* canon_ptr = local;
  if (arity > 8) {
    scratch_.resize(arity);
    canon_ptr = scratch_.data();
  }
  for (std::size_t k = 0; k < arity; ++k) canon_ptr[k] = find(children[k]);
  const std::span<const ClassId> canon(canon_ptr, arity);
  const std::uint64_t h = hash_enode(op, canon);
  memo_.prefetch(h);
  return add_rooted(op, canon, h);
}

ClassId EGraph::add_rooted(Symbol op, std::span<const ClassId> canon, std::uint64_t h) {
  const std::size_t arity = canon.size();
  const NodeIndex holder = memo_.find_ref(h, [&](NodeIndex n) { return node_equals(n, op, canon); });
  if (holder != Memo::kEmpty) return root_of(memo_of(nodes_[holder]));

  const std::size_t id_sz = parent_.size();
  if (id_sz >= kNoMemo || (arity > 2 && child_pool_.size() + arity > std::numeric_limits<std::uint32_t>::max()) ||
      parent_pool_.size() + arity >= kNil) [[unlikely]] {
    tavrine::panic("e-graph id space exhausted");
  }
  const ClassId id = static_cast<ClassId>(id_sz);
  if (arity <= 2) {
    nodes_.emplace_back(op, (static_cast<std::uint32_t>(arity) << 30) | id, arity > 0 ? canon[0] : 0,
                        arity > 1 ? canon[1] : 0);
  } else {
    nodes_.emplace_back(op, (3u << 30) | id, static_cast<ClassId>(child_pool_.size()), static_cast<ClassId>(arity));
    for (ClassId c : canon) child_pool_.push_back(c);
  }
  list_of_.push_back(kSingle);
  parent_.push_back(id);
  parents_.emplace_back();
  // A child that occurs twice is recorded twice.
  for (ClassId c : canon) push_parent(c, id);
  // The new node is pending, but re-inserting it before a union touches one of its
  // children would find its own key; once one does, the union queues it as a parent. So it
  // is only counted.
  ++fresh_pending_;
  ++live_classes_;
  if (slot_filter_ & filter_bit(op)) {
    const std::uint32_t s = slots_.get(op, static_cast<std::uint32_t>(arity));
    if (s != SlotMap::kNone) op_classes_[s].push_back(id);
  }
  memo_.insert_new(h, id, memo_hash());
  clean_ = false;
  EGRAPH_LOG(Trace, "  ...adding to " << id);
  return id;
}

void EGraph::add_graph(std::span<const Symbol> ops, std::span<const std::uint32_t> child_off,
                       std::span<const std::uint32_t> child_pos, std::span<ClassId> out, const Deadline* deadline) {
  add_graph_impl(ops.size(), [&](std::size_t i) { return ops[i]; }, child_off, child_pos, out, deadline);
}

void EGraph::add_graph(std::span<const std::uint32_t> op_numbers, std::span<const std::uint32_t> child_off,
                       std::span<const std::uint32_t> child_pos, std::span<ClassId> out, const Deadline* deadline) {
  add_graph_impl(
      op_numbers.size(), [&](std::size_t i) { return Symbol::from_value(op_numbers[i] + 1); }, child_off, child_pos,
      out, deadline);
}

template <class OpOf>
void EGraph::add_graph_impl(std::size_t n, OpOf op_of, std::span<const std::uint32_t> child_off,
                            std::span<const std::uint32_t> child_pos, std::span<ClassId> out,
                            const Deadline* deadline) {
  bool consistent = child_off.size() == n + 1 && out.size() >= n && child_off[n] <= child_pos.size();
  for (std::size_t i = 0; consistent && i < n; ++i) consistent = child_off[i] <= child_off[i + 1];
  if (!consistent) tavrine::panic("add_graph: inconsistent graph arrays");
  if (parent_.empty() && n > 0 && add_distinct_graph(n, op_of, child_off, child_pos, out, deadline)) return;
  // Nothing is merged while the graph goes in, so every id out[] holds is a root: a node's
  // rooted children are its children's out[] entries, and its hash-cons slot is fetched a
  // few nodes ahead. A child that is itself among those few has no entry yet: it is guessed
  // to become a new node (the usual case) and the guess is checked when the node's turn comes.
  constexpr std::size_t kAhead = 8, kRing = 16;
  struct Prepared {
    IdList kids;
    std::uint64_t hash = 0;
  };
  tavrine::AheadRing<Prepared, kRing> ring;
  // Children far back in the graph: their out[] entries, fetched before prepare reads them.
  auto fetch_children = [&](std::size_t j) {
    for (std::uint32_t k = child_off[j]; k < child_off[j + 1]; ++k) {
      if (child_pos[k] < j) tavrine::prefetch_read(&out[child_pos[k]]);
    }
  };
  auto prepare = [&](std::size_t j) {
    // Nodes below known_below have their out[] entries; later ones are guessed.
    const std::size_t known_below = j >= kAhead ? j - kAhead : 0;
    Prepared& p = ring[j];
    p.kids.clear();
    for (std::uint32_t k = child_off[j]; k < child_off[j + 1]; ++k) {
      const std::uint32_t c = child_pos[k];
      p.kids.push_back(c < known_below ? out[c]
                       : c < j         ? static_cast<ClassId>(parent_.size() + (c - known_below))
                                       : kNoMemo);
    }
    p.hash = hash_enode(op_of(j), p.kids.span());
    memo_.prefetch(p.hash);
    // The add links the node into its children's parent lists.
    for (ClassId c : p.kids) {
      if (c < parent_.size()) tavrine::prefetch_write(&parents_[c]);
    }
  };
  DeadlineCheck check(deadline);
  IdList kids;
  tavrine::visit_ascending(
      std::size_t{0}, n,
      [&](std::size_t i) {
        check.tick();
        kids.clear();
        for (std::uint32_t k = child_off[i]; k < child_off[i + 1]; ++k) {
          if (child_pos[k] >= i) {
            tavrine::panic("add_graph: child position " + std::to_string(child_pos[k]) + " of node " +
                           std::to_string(i) + " is not earlier");
          }
          kids.push_back(out[child_pos[k]]);
        }
        const Prepared& p = ring[i];
        out[i] = kids == p.kids ? add_rooted(op_of(i), kids.span(), p.hash) : root_of(add(op_of(i), kids.span()));
      },
      tavrine::FetchAhead{2 * kAhead, fetch_children}, tavrine::FetchAhead{kAhead, prepare});
}

template <class OpOf>
bool EGraph::add_distinct_graph(std::size_t n, OpOf op_of, std::span<const std::uint32_t> child_off,
                                std::span<const std::uint32_t> child_pos, std::span<ClassId> out,
                                const Deadline* deadline) {
  // Adding node by node into an empty e-graph, a node none of whose predecessors equals it
  // (same op, same children) becomes a new class with the next id; by induction, when no
  // two nodes of the graph are equal, node i becomes class i with its children's positions
  // as its rooted children. So the arena, the union-find and the parent lists follow
  // from the graph in one sequential pass, and only the hash-cons needs a look per node,
  // which comes first and also proves the premise: a key already present means two equal
  // nodes, and then the graph takes the node-by-node path.
  const std::size_t edges = child_off[n] - child_off[0];
  if (n >= kNoMemo || edges >= kNil) [[unlikely]] tavrine::panic("e-graph id space exhausted");
  DeadlineCheck check(deadline);
  std::size_t wide = 0;  // children of nodes with more than two
  if (!memo_distinct_graph(n, op_of, child_off, child_pos, check, wide)) {
    memo_ = Memo();
    return false;
  }
  append_distinct_graph(n, op_of, child_off, child_pos, wide, check);
  // Bookkeeping as the adds would leave it.
  fresh_pending_ += n;
  live_classes_ += n;
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<ClassId>(i);
  clean_ = false;
  return true;
}

// The hash-cons of a distinct graph, keys fetched a few nodes ahead; false at the first
// key already present. Equality is read from the graph arrays: nothing else is written yet.
template <class OpOf>
bool EGraph::memo_distinct_graph(std::size_t n, OpOf op_of, std::span<const std::uint32_t> child_off,
                                 std::span<const std::uint32_t> child_pos, DeadlineCheck& check, std::size_t& wide) {
  auto kids_of_pos = [&](std::size_t i) {
    return std::span<const ClassId>(child_pos.data() + child_off[i], child_off[i + 1] - child_off[i]);
  };
  memo_.reserve(n, memo_hash());
  constexpr std::size_t kAhead = 16;
  tavrine::AheadRing<std::uint64_t, 2 * kAhead> hashes;
  auto hash_ahead = [&](std::size_t i) {
    const std::span<const ClassId> kids = kids_of_pos(i);
    for (ClassId c : kids) {
      if (c >= i) tavrine::panic("add_graph: child position " + std::to_string(c) + " of node " + std::to_string(i) +
                        " is not earlier");
    }
    if (kids.size() > 2) wide += kids.size();
    hashes[i] = hash_enode(op_of(i), kids);
    memo_.prefetch(hashes[i]);
  };
  auto insert = [&](std::size_t i) {
    check.tick();
    const std::uint64_t h = hashes[i];
    const Symbol op = op_of(i);
    const std::span<const ClassId> kids = kids_of_pos(i);
    const NodeIndex twin = memo_.find_ref(h, [&](NodeIndex m) {
      const std::span<const ClassId> mk = kids_of_pos(m);
      return op_of(m) == op && same_children(mk, kids);
    });
    if (twin != Memo::kEmpty) return false;
    memo_.insert_new(h, static_cast<NodeIndex>(i), memo_hash());
    return true;
  };
  return tavrine::visit_ascending_while(std::size_t{0}, n, insert, tavrine::FetchAhead{kAhead, hash_ahead}) == n;
}

// Everything but the hash-cons of a distinct graph in one pass, the way the adds would write
// it: each record is appended, and each child entry goes to the end of the pool and heads
// its child's parent list (a child is an earlier node, whose records are written already).
template <class OpOf>
void EGraph::append_distinct_graph(std::size_t n, OpOf op_of, std::span<const std::uint32_t> child_off,
                                   std::span<const std::uint32_t> child_pos, std::size_t wide, DeadlineCheck& check) {
  auto kids_of_pos = [&](std::size_t i) {
    return std::span<const ClassId>(child_pos.data() + child_off[i], child_off[i + 1] - child_off[i]);
  };
  const std::size_t edges = child_off[n] - child_off[0];
  if (wide > std::numeric_limits<std::uint32_t>::max()) [[unlikely]] tavrine::panic("e-graph id space exhausted");
  child_pool_.reserve(wide);
  nodes_.reserve(n);
  parent_.reserve(n);
  list_of_.reserve(n);
  parents_.reserve(n);
  parent_pool_.reserve(edges);
  // Every record below is written, in order: their pages are made present at once.
  tavrine::prefault(nodes_.data(), n * sizeof(NodeRec));
  tavrine::prefault(parent_.data(), n * sizeof(ClassId));
  tavrine::prefault(list_of_.data(), n * sizeof(std::uint32_t));
  tavrine::prefault(parents_.data(), n * sizeof(ParentList));
  tavrine::prefault(parent_pool_.data(), edges * sizeof(ParentEntry));
  // Children far back have their parent-list heads fetched this many nodes ahead.
  const tavrine::FetchAhead far_heads{24, [&](std::size_t j) {
    for (ClassId c : kids_of_pos(j)) tavrine::prefetch_write(parents_.data() + c);
  }};
  tavrine::visit_ascending(n, [&](std::size_t i) {
    check.tick();
    const std::span<const ClassId> kids = kids_of_pos(i);
    const std::uint32_t arity = static_cast<std::uint32_t>(kids.size());
    const ClassId id = static_cast<ClassId>(i);
    if (arity <= 2) {
      nodes_.emplace_back(op_of(i), (arity << 30) | id, arity > 0 ? kids[0] : 0, arity > 1 ? kids[1] : 0);
    } else {
      nodes_.emplace_back(op_of(i), (3u << 30) | id, static_cast<ClassId>(child_pool_.size()), arity);
      child_pool_.insert(child_pool_.end(), kids.begin(), kids.end());
    }
    parent_.push_back(id);
    list_of_.push_back(kSingle);
    parents_.emplace_back();
    if (slot_filter_ & filter_bit(op_of(i))) {
      const std::uint32_t s = slots_.get(op_of(i), arity);
      if (s != SlotMap::kNone) op_classes_[s].push_back(id);
    }
    for (ClassId c : kids) {
      ParentList& l = parents_[c];
      parent_pool_.emplace_back(id, l.head);
      l.head = static_cast<std::uint32_t>(parent_pool_.size() - 1);
      ++l.count;
    }
  }, far_heads);
}

BigVec<ClassId> EGraph::take_roots() && {
  BigVec<ClassId> roots = std::move(parent_);
  // Ascending ids: a parent's root is known by the time its child is reached only when the
  // parent is smaller, so each id is resolved through the table as it is being rewritten.
  for (std::size_t i = 0; i < roots.size(); ++i) {
    ClassId r = roots[i];
    while (roots[r] != r) r = roots[r];
    roots[i] = r;
  }
  *this = EGraph();
  return roots;
}

std::uint32_t EGraph::new_list() {
  if (!free_lists_.empty()) {
    const std::uint32_t slot = free_lists_.back();
    free_lists_.pop_back();
    return slot;
  }
  lists_.emplace_back();
  return static_cast<std::uint32_t>(lists_.size() - 1);
}

void EGraph::merge_lists(ClassId winner, ClassId loser) {
  // The longer list first, keeping its order, then the shorter; on equal length the
  // winner's first. A class without a list holds one node, its root's own.
  const std::uint32_t wi = list_of_[winner], li = list_of_[loser];
  list_of_[loser] = kSingle;
  if (wi == kSingle && li == kSingle) {
    const std::uint32_t slot = new_list();
    lists_[slot] = {winner, loser};
    list_of_[winner] = slot;
  } else if (wi == kSingle) {
    SmallVec<NodeIndex, 2>& ln = lists_[li];
    if (ln.size() > 1) {
      ln.push_back(winner);
    } else {
      const NodeIndex only = ln[0];
      ln = {winner, only};
    }
    list_of_[winner] = li;
  } else if (li == kSingle) {
    lists_[wi].push_back(loser);
  } else {
    SmallVec<NodeIndex, 2>& wn = lists_[wi];
    SmallVec<NodeIndex, 2>& ln = lists_[li];
    if (ln.size() > wn.size()) wn.swap(ln);
    wn.append(ln.span());
    ln.reset();
    free_lists_.push_back(li);
  }
}

std::span<const NodeIndex> EGraph::nodes_of(ClassId root) const noexcept {
  const std::uint32_t li = list_of_[root];
  return li == kSingle ? std::span<const NodeIndex>(&parent_[root], 1) : lists_[li].span();
}

bool EGraph::union_classes(ClassId a, ClassId b) {
  clean_ = false;
  ClassId winner = find_mut(a);
  ClassId loser = find_mut(b);
  if (winner == loser) return false;
  if (parents_[winner].count < parents_[loser].count) std::swap(winner, loser);

  parent_[loser] = winner;
  --live_classes_;
  ParentList& w = parents_[winner];
  ParentList& l = parents_[loser];
  // Queue the loser's parents, oldest first (the list runs newest first), noting its oldest
  // entry.
  const std::size_t base = pending_.size();
  pending_.resize(base + l.count);
  if (queued_at_.size() < nodes_.size()) queued_at_.resize(nodes_.size());
  std::size_t k = pending_.size();
  std::uint32_t loser_oldest = kNil;
  for (std::uint32_t e = l.head; e != kNil; e = parent_pool_[e].next) {
    pending_[--k] = parent_pool_[e].node;
    loser_oldest = e;
  }
  // Each node's newest position; upwards, so that a node queued twice here (a child that
  // occurs twice) is handled at its upper entry, the one taken first.
  for (std::size_t i = base; i < pending_.size(); ++i) queued_at_[pending_[i]] = static_cast<std::uint32_t>(i);

  // Concatenate: the longer list first in its order, then the shorter; on equal length
  // the winner's list first. Node lists are swapped and appended (cost of the shorter).
  // The winner has at least as many parent entries as the loser, so its parent list comes
  // first and the loser's is spliced in as the newer part.
  merge_lists(winner, loser);
  if (l.count != 0) {
    parent_pool_[loser_oldest].next = w.head;
    w.head = l.head;
    w.count += l.count;
  }
  l = ParentList{};

  touched_.push_back(winner);
  index_stale_ = true;
  return true;
}

bool EGraph::reroot_children(NodeIndex n) {
  NodeRec& r = nodes_[n];
  ClassId* kids = kids_of(r);
  const std::uint32_t arity = arity_of(r);
  std::uint32_t k = 0;
  for (; k < arity; ++k) {
    if (parent_[kids[k]] != kids[k]) break;
  }
  if (k == arity) return false;  // already rooted
  // The current content is now a stale key: no lookup can reach it again. Drop it from the
  // table if it is there (whichever node it was stored through) and keep it counted.
  const std::uint64_t old_hash = node_hash(n);
  const std::size_t slot = memo_.find_slot(old_hash, [&](NodeIndex m) { return node_equals(m, r.op, {kids, arity}); });
  if (slot != Memo::npos) {
    set_memo(nodes_[memo_.ref_at(slot)], kNoMemo);
    memo_.erase(slot, memo_hash());
    ++dead_keys_;
  }
  for (; k < arity; ++k) kids[k] = root_of_mut(kids[k]);
  return true;
}

bool EGraph::reinsert_is_noop(NodeIndex n) const noexcept {
  // Re-inserting n would find its own key (n holds a key, which is n's current content,
  // rooted when every child is a root) mapping to n itself, and union n with itself.
  const NodeRec& r = nodes_[n];
  if (memo_of(r) != n) return false;
  const ClassId* kids = kids_of(r);
  const std::uint32_t arity = arity_of(r);
  for (std::uint32_t k = 0; k < arity; ++k) {
    if (parent_[kids[k]] != kids[k]) return false;
  }
  return true;
}

std::size_t EGraph::rebuild() {
  std::size_t merges = 0;
  rebuild_until(Deadline{}, merges);
  return merges;
}

// Fetches for the pending stack ahead of entry `at`, the next to be taken: entries are taken
// from the end, so the nodes a few pops ahead, then their children, then their hash-cons
// slots.
void EGraph::prefetch_pending(std::size_t at) const noexcept {
  auto fetch_node = [&](std::size_t j) { tavrine::prefetch_read(&nodes_[pending_[j]]); };
  auto fetch_wide_kids = [&](std::size_t j) {
    const NodeRec& r = nodes_[pending_[j]];
    if ((r.meta >> 30) == 3) tavrine::prefetch_read(child_pool_.data() + r.kids[0]);
  };
  auto fetch_kid_classes = [&](std::size_t j) {
    // Not for a wide node: it may sit in the stack once per merged child.
    const std::span<const ClassId> kids = node_children(pending_[j]);
    if (kids.size() <= 2) {
      for (ClassId c : kids) tavrine::prefetch_read(&parent_[c]);
    }
  };
  auto fetch_slots = [&](std::size_t j) {
    // The hash-cons slots of the node's key as it is and as it will be.
    const NodeIndex a = pending_[j];
    const NodeRec& r = nodes_[a];
    const std::span<const ClassId> now = node_children(a);
    if (now.size() > 2) return;
    ClassId canon[2];
    bool moved = false;
    for (std::size_t k = 0; k < now.size(); ++k) {
      canon[k] = root_of(now[k]);
      moved |= canon[k] != now[k];
    }
    if (moved) {
      memo_.prefetch(hash_enode(r.op, now));
      memo_.prefetch(hash_enode(r.op, {canon, now.size()}));
    } else if (memo_of(r) != a) {
      memo_.prefetch(hash_enode(r.op, now));
    }
  };
  tavrine::fetch_below(at, tavrine::FetchAhead{12, fetch_node}, tavrine::FetchAhead{8, fetch_wide_kids},
                       tavrine::FetchAhead{6, fetch_kid_classes}, tavrine::FetchAhead{3, fetch_slots});
}

// Rebuild phase 1: re-roots and re-keys every queued node, which may merge classes
// (counted in `merges`); false when the check stops it, the rest left queued.
bool EGraph::process_unions(DeadlineCheck& check, std::size_t& merges) {
  // New nodes are not queued (see add): every entry is the parent of a class that lost a
  // union.
  fresh_pending_ = 0;
  while (!pending_.empty()) {
    const std::size_t at = pending_.size() - 1;
    prefetch_pending(at);
    const NodeIndex n = pending_[at];
    // A stale entry: n was queued again later, and that newer entry has been handled
    // already; every union that moved one of n's children since then queued n once more,
    // above this entry. Handling it again would only re-read all of n's children, which
    // makes a wide node queued once per merged child cost the square of its width.
    const bool stale = queued_at_[n] != at;
    const std::uint32_t work = stale ? 1 : 1 + arity_of(nodes_[n]);
    // Checked before the entry is taken, so that a rebuild cut short leaves it queued.
    if (check.tick(work)) return false;
    pending_.pop_back();
    rebuild_work_ += work;
    if (stale || reinsert_is_noop(n)) continue;
    if (reroot_children(n)) touched_.push_back(n);
    const NodeRec& r = nodes_[n];
    const std::span<const ClassId> kids = node_children(n);
    const std::uint64_t h = hash_enode(r.op, kids);
    const std::size_t slot = memo_.find_slot(h, [&](NodeIndex m) { return node_equals(m, r.op, kids); });
    if (slot == Memo::npos) {
      set_memo(nodes_[n], n);
      memo_.insert_new(h, n, memo_hash());
    } else {
      NodeRec& holder = nodes_[memo_.ref_at(slot)];
      const ClassId old = memo_of(holder);
      set_memo(holder, n);
      if (union_classes(old, n)) ++merges;
    }
  }
  return true;
}

// Re-roots, sorts and deduplicates class `root` unless it is marked done already (and
// marks it); returns the duplicates dropped.
std::size_t EGraph::rebuild_class(ClassId root) {
  std::uint64_t& word = sorted_[root >> 6];
  const std::uint64_t bit = std::uint64_t{1} << (root & 63);
  if (word & bit) return 0;
  word |= bit;
  if (list_of_[root] == kSingle) {
    reroot_children(root);
    return 0;
  }
  SmallVec<NodeIndex, 2>& list = lists_[list_of_[root]];
  for (NodeIndex n : list) reroot_children(n);
  if (list.size() < 2) return 0;
  std::sort(list.begin(), list.end(), [&](NodeIndex a, NodeIndex b) { return node_less(a, b); });
  NodeIndex* out = list.begin();
  for (NodeIndex* it = list.begin() + 1; it != list.end(); ++it) {
    if (!nodes_equal(*it, *out)) *++out = *it;
  }
  const std::uint32_t kept = static_cast<std::uint32_t>(out - list.begin()) + 1;
  const std::size_t dropped = list.size() - kept;
  list.truncate(kept);
  return dropped;
}

// Rebuild phase 2: re-roots, sorts and deduplicates every class whose contents may
// have changed (new members by union, or members re-rooted in phase 1), counting the
// duplicates dropped in `trimmed`; every other class is already rooted, sorted and
// duplicate-free. False when the check stops it, the classes not reached left touched.
bool EGraph::rebuild_classes(DeadlineCheck& check, std::size_t& trimmed) {
  if (sorted_.size() * 64 < parent_.size()) sorted_.resize(parent_.size() / 64 + 1, 0);
  const std::size_t n_touched = touched_.size();
  // No union happens below, so a root found ahead stays the root: each is found once, a
  // dozen entries early, and its class's memory is fetched in hops on the way.
  tavrine::AheadRing<ClassId, 32> roots;
  auto fetch_entry = [&](std::size_t t) { tavrine::prefetch_read(&parent_[touched_[t]]); };
  auto find_root = [&](std::size_t t) {
    roots[t] = root_of(touched_[t]);
    prefetch_class(roots[t], 0);
    tavrine::prefetch_read(&sorted_[roots[t] >> 6]);
  };
  auto fetch_class = [&](int hop) { return [&, hop](std::size_t t) { prefetch_class(roots[t], hop); }; };
  const std::size_t stopped = tavrine::visit_ascending_while(
      std::size_t{0}, n_touched,
      [&](std::size_t t) {
        if (check.tick()) return false;
        trimmed += rebuild_class(root_of_mut(touched_[t]));
        return true;
      },
      tavrine::FetchAhead{24, fetch_entry}, tavrine::FetchAhead{18, find_root}, tavrine::FetchAhead{12, fetch_class(1)},
      tavrine::FetchAhead{8, fetch_class(2)}, tavrine::FetchAhead{4, fetch_class(3)});
  if (stopped < n_touched) {
    for (std::size_t k = 0; k < stopped; ++k) sorted_[root_of(touched_[k]) >> 6] = 0;
    touched_.erase(touched_.begin(), touched_.begin() + static_cast<std::ptrdiff_t>(stopped));
    return false;
  }
  for (ClassId t : touched_) sorted_[root_of(t) >> 6] = 0;
  touched_.clear();
  return true;
}

bool EGraph::rebuild_until(const Deadline& deadline, std::size_t& merges) {
  const std::size_t old_size = total_size();
  const std::size_t old_classes = number_of_classes();
  const auto t0 = Deadline::Clock::now();
  DeadlineCheck check(&deadline);
  merges = 0;
  if (!process_unions(check, merges)) return false;
  std::size_t trimmed = 0;
  if (!rebuild_classes(check, trimmed)) return false;
  last_trimmed_ = trimmed;

  // Then the operator index: roots only, ascending.
  if (index_stale_) rebuild_index();
  kind_index_nonempty_ = live_classes_ > 0;

  const auto elapsed = Deadline::Clock::now() - t0;
  (void)elapsed;
  EGRAPH_LOG(Info, "REBUILT! in " << std::chrono::duration_cast<std::chrono::seconds>(elapsed).count() << "."
                                  << [&] {
                                       auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() % 1000;
                                       std::string s = std::to_string(ms);
                                       return std::string(3 - s.size(), '0') + s;
                                     }()
                                  << "s\n  Old: hc size " << old_size << ", eclasses: " << old_classes
                                  << "\n  New: hc size " << total_size() << ", eclasses: " << number_of_classes()
                                  << "\n  unions: " << merges << ", trimmed nodes: " << trimmed);
  (void)old_size;
  (void)old_classes;
  clean_ = true;
  return true;
}

void EGraph::rebuild_index() {
  // Entries that are still roots stay in ascending order; only the few that were merged
  // away need their roots found, sorted and merged back in. When many were (a rule that
  // merged most of the classes it matched), the roots are marked in a bitmap over the ids
  // instead and read back in order, which costs a pass over the bitmap but no sort.
  std::vector<ClassId> moved;
  if (sorted_.size() * 64 < parent_.size()) sorted_.resize(parent_.size() / 64 + 1, 0);
  for (std::vector<ClassId>& list : op_classes_) {
    moved.clear();
    std::size_t kept = 0;
    for (ClassId id : list) {
      if (parent_[id] == id) {
        list[kept++] = id;
      } else {
        moved.push_back(root_of_mut(id));
      }
    }
    if (moved.empty()) continue;
    if (moved.size() > 64 && moved.size() * 8 > parent_.size() / 64) {
      // sorted_ is all clear between rebuilds' class passes; it is left clear again.
      ClassId lo = moved[0], hi = moved[0];
      auto mark = [&](ClassId id) {
        sorted_[id >> 6] |= std::uint64_t{1} << (id & 63);
        lo = std::min(lo, id);
        hi = std::max(hi, id);
      };
      for (std::size_t k = 0; k < kept; ++k) mark(list[k]);
      for (ClassId id : moved) mark(id);
      list.clear();
      for (std::size_t w = lo >> 6; w <= (hi >> 6); ++w) {
        for (std::uint64_t bits = sorted_[w]; bits != 0; bits &= bits - 1) {
          list.push_back(static_cast<ClassId>(w * 64 + static_cast<std::size_t>(std::countr_zero(bits))));
        }
        sorted_[w] = 0;
      }
      continue;
    }
    list.resize(kept);
    std::sort(moved.begin(), moved.end());
    const auto middle = static_cast<std::ptrdiff_t>(list.size());
    list.insert(list.end(), moved.begin(), moved.end());
    std::inplace_merge(list.begin(), list.begin() + middle, list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
  }
  index_stale_ = false;
}

void EGraph::index_ops(std::span<const std::pair<Symbol, std::uint32_t>> ops) {
  const std::size_t first_new = op_classes_.size();
  std::uint64_t new_filter = 0;
  for (const auto& [op, arity] : ops) {
    if (slots_.get(op, arity) != SlotMap::kNone) continue;
    const std::uint32_t s = slots_.get_or_add(op, arity);
    slot_filter_ |= filter_bit(op);
    new_filter |= filter_bit(op);
    op_classes_.resize(std::max<std::size_t>(op_classes_.size(), s + 1));
  }
  if (op_classes_.size() == first_new) return;
  for (NodeIndex n = 0; n < nodes_.size(); ++n) {
    const NodeRec& r = nodes_[n];
    if (!(new_filter & filter_bit(r.op))) continue;
    const std::uint32_t s = slots_.get(r.op, arity_of(r));
    if (s != SlotMap::kNone && s >= first_new) op_classes_[s].push_back(root_of(n));
  }
  for (std::size_t s = first_new; s < op_classes_.size(); ++s) {
    std::vector<ClassId>& list = op_classes_[s];
    if (!std::is_sorted(list.begin(), list.end())) std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
  }
}

const std::vector<ClassId>* EGraph::indexed_classes(Symbol op, std::uint32_t arity) const {
  const std::uint32_t s = slots_.get(op, arity);
  return s == SlotMap::kNone ? nullptr : &op_classes_[s];
}

std::span<const NodeIndex> EGraph::class_refs(ClassId root) const {
  if (root >= parent_.size() || parent_[root] != root) tavrine::panic("Invalid id " + std::to_string(root));
  return nodes_of(root);
}




std::vector<ClassId> EGraph::class_ids() const {
  std::vector<ClassId> ids;
  ids.reserve(live_classes_);
  for (ClassId i = 0; i < parent_.size(); ++i) {
    if (parent_[i] == i) ids.push_back(i);
  }
  return ids;
}

std::ostream& operator<<(std::ostream& os, const EGraph& g) {
  os << "EGraph { total_size: " << g.total_size() << ", classes: " << g.number_of_classes() << " }\n";
  for (ClassId id : g.class_ids()) {
    os << "  " << id << ":";
    for (NodeIndex n : g.nodes_of(id)) os << ' ' << SymbolLang(g.nodes_[n].op, g.node_children(n));
    os << '\n';
  }
  return os;
}

}  // namespace egraph
