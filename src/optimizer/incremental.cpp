#include "optimizer/incremental.h"

#include "optimizer/flat_index.h"
#include "store/panic.h"

namespace tavrine::opt {

// Commutative ops of the canonical form, found by their unordered operand
// pair: every such op enters the form through this index, so at most one of
// op(a, b) and op(b, a) is ever recorded, and finding either is the lookup of
// the candidate followed by the lookup of its swapped form.
struct CommutedKey {
  NodeId lo, hi;
  std::uint32_t op;
  NodeId canonical;
};

struct IncrementalReducer::State {
  Store canonical;                 // the canonical form, with its own index
  std::vector<NodeId> id_map;      // store id -> canonical id
  std::uint64_t total_work = 0;
  std::vector<CommutedKey> commuted;
  HandleIndex commuted_index;
  std::uint64_t seed = process_seed();
  std::vector<NodeId> inputs;      // scratch

  std::uint64_t commuted_hash(std::uint32_t op, NodeId lo, NodeId hi) const {
    return detail::mix64(detail::combine(detail::combine(detail::combine(seed, op), lo), hi));
  }
};

IncrementalReducer::IncrementalReducer() : state_(std::make_unique<State>()) {}
IncrementalReducer::~IncrementalReducer() = default;

Expected<std::uint64_t, BadNodeId> IncrementalReducer::consume_locked(const Store& store) {
  State& s = *state_;
  const Snapshot delta = store.nodes_since(s.id_map.size());
  std::uint64_t consumed = 0;
  std::optional<BadNodeId> failure;
  for (NodeId id = delta.begin_id(); id < delta.end_id(); ++id) {
    const NodeView v = delta.node(id);
    s.inputs.clear();
    for (NodeId in : v.inputs()) {
      if (in >= s.id_map.size()) {
        failure = BadNodeId{in};
        break;
      }
      s.inputs.push_back(s.id_map[in]);
    }
    if (failure) break;

    NodeId result = 0;
    bool found = false;
    int commutative = -1;
    if (v.kind() == NodeKind::Op) {
      if (s.inputs.size() == 1 && is_identity_payload(v.name(), v.params())) {
        result = s.inputs[0];
        found = true;
      } else if (s.inputs.size() == 2 && v.params().empty() &&
                 (commutative = commutative_op_index(v.name())) >= 0) {
        const NodeId lo = std::min(s.inputs[0], s.inputs[1]);
        const NodeId hi = std::max(s.inputs[0], s.inputs[1]);
        const std::uint32_t op = static_cast<std::uint32_t>(commutative);
        const std::uint32_t h = s.commuted_index.find(s.commuted_hash(op, lo, hi), [&](std::uint32_t k) {
          const CommutedKey& e = s.commuted[k];
          return e.op == op && e.lo == lo && e.hi == hi;
        });
        if (h != HandleIndex::kNone) {
          result = s.commuted[h].canonical;
          found = true;
        }
      }
    }
    if (!found) {
      NodeRef ref{v.kind(), v.name(), &v.params(), v.descriptor(), s.inputs, v.members()};
      auto interned = s.canonical.intern(ref);
      expect(interned.has_value(), "canonical inputs are canonical ids");
      result = *interned;
      if (commutative >= 0) {
        const std::uint32_t op = static_cast<std::uint32_t>(commutative);
        const NodeId lo = std::min(s.inputs[0], s.inputs[1]);
        const NodeId hi = std::max(s.inputs[0], s.inputs[1]);
        expect(s.commuted.size() < HandleIndex::kNone, "fewer than 2^32 - 1 commutative nodes");
        s.commuted.push_back(CommutedKey{lo, hi, op, result});
        s.commuted_index.insert(s.commuted_hash(op, lo, hi), static_cast<std::uint32_t>(s.commuted.size() - 1),
                                [&](std::uint32_t k) {
                                  const CommutedKey& e = s.commuted[k];
                                  return s.commuted_hash(e.op, e.lo, e.hi);
                                });
      }
    }
    s.id_map.push_back(result);
    ++consumed;
  }
  // Every consumed node counts, so total work keeps equal to the watermark
  // even when a bad input stops the delta half-way.
  s.total_work += consumed;
  if (failure) return unexpected(*failure);
  return consumed;
}

Expected<std::uint64_t, BadNodeId> IncrementalReducer::step(const Store& store) {
  PoisonMutex::Guard guard(mutex_);
  return consume_locked(store);
}

std::uint64_t IncrementalReducer::watermark() const {
  PoisonMutex::Guard guard(mutex_);
  return state_->id_map.size();
}

std::uint64_t IncrementalReducer::total_work() const {
  PoisonMutex::Guard guard(mutex_);
  return state_->total_work;
}

std::uint64_t IncrementalReducer::canonical_count() const {
  PoisonMutex::Guard guard(mutex_);
  return state_->canonical.node_count();
}

Expected<ReductionResult, BadNodeId> IncrementalReducer::finalize(const Store& store,
                                                                  std::optional<std::span<const NodeId>> outputs,
                                                                  bool maximal_fusion, RewriteEngine& engine) {
  // Outputs are settled before the reducer is locked: a bad id changes nothing.
  std::vector<NodeId> outs;
  if (outputs) {
    const std::uint64_t count = store.node_count();
    for (NodeId id : *outputs) {
      if (id >= count) return unexpected(BadNodeId{id});
    }
    outs.assign(outputs->begin(), outputs->end());
  } else {
    outs = store.outputs();
  }

  PoisonMutex::Guard guard(mutex_);
  State& s = *state_;
  auto consumed = consume_locked(store);
  if (!consumed) return unexpected(consumed.error());
  for (NodeId& o : outs) {
    if (o >= s.id_map.size()) return unexpected(BadNodeId{o});
    o = s.id_map[o];
  }
  ReducedGraph reduced = reduce_graph(s.canonical.snapshot(), outs, engine, maximal_fusion);
  return build_reduced_store(reduced);
}

}  // namespace tavrine::opt
