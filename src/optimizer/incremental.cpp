#include "optimizer/incremental.h"
#include "optimizer/rules.h"

#include <algorithm>
#include <exception>
#include <new>

#include "support/node_index.h"
#include "support/hash.h"
#include "support/panic.h"

namespace tavrine::opt {

std::string ReducerError::message() const {
  if (kind == Kind::ForeignStore) {
    return "reducer is bound to another store: an IncrementalReducer serves only the store it was first fed";
  }
  return BadNodeId{id}.message();
}

namespace {

constexpr std::uint32_t kNone = UINT32_MAX;

// The shortcut the rule table allows a payload (only Op symbols are rule
// operators). Found once per payload, when it is first stored; the symbol
// text is built only for the names the rules mention.
Shortcut shortcut_of_payload(const PayloadView& p, std::string& text) {
  if (p.kind() != NodeKind::Op || !names_rule_op(p.name())) return Shortcut::None;
  text.clear();
  append_payload_symbol(text, p);
  return shortcut_of(text);
}

// A canonical node: its payload and where its inputs start; they end where
// the next node's start.
struct CNode {
  std::uint32_t payload;
  std::uint64_t in_begin;
};

// Room for `extra` more elements, growing geometrically: a delta reserves
// once, and many small deltas do not reallocate every time.
template <class T>
void reserve_more(std::vector<T>& v, std::size_t extra) {
  if (v.capacity() - v.size() < extra) v.reserve(std::max(v.size() + extra, v.capacity() * 2));
}

}  // namespace

// The canonical form and its lookup structures.
//
// Payloads are interned by the one payload interner, under the reducer's own
// seed; nodes are hash-consed by the one node index, over (payload, inputs).
struct IncrementalReducer::State {
  State() : payloads(fresh_seed()) {}

  // ---- the canonical form
  PayloadInterner payloads;
  std::vector<Shortcut> shortcut;        // payload -> what the rules allow it
  std::vector<CNode> nodes;
  std::vector<std::uint32_t> inputs;     // all canonical inputs, node by node

  // ---- lookup structures
  std::vector<std::uint32_t> fed_payload;  // fed store payload id -> payload (a hint, verified)
  NodeIndex index;                         // (payload, inputs) -> node

  // ---- progress
  std::vector<std::uint32_t> id_map;  // store id -> canonical id
  std::uint64_t total_work = 0;
  std::uint64_t bound_serial = 0;     // the store fed so far; 0 before the first

  std::vector<std::uint32_t> scratch;
  std::string symbol_text;  // reused to build the symbol of each new payload

  class Sequence;

  std::uint64_t in_end(std::uint32_t id) const {
    return id + 1 < nodes.size() ? nodes[id + 1].in_begin : inputs.size();
  }
  std::span<const std::uint32_t> inputs_of(std::uint32_t id) const {
    return {inputs.data() + nodes[id].in_begin, inputs.data() + in_end(id)};
  }

  std::uint64_t node_hash(std::uint32_t payload, std::span<const std::uint32_t> in) const {
    return NodeIndex::hash(payloads.hash_of(payload), in);
  }
  auto rehash() const {
    return [this](std::uint32_t c) {
      return node_hash(nodes[c].payload, inputs_of(c));
    };
  }

  // The reducer's payload for a fed node. The fed store's payload id is a
  // hint (verified), so a payload is usually found without hashing it.
  std::uint32_t payload_of(const NodeView& v) {
    const std::uint32_t fed = v.payload_id();
    if (fed < fed_payload.size()) {
      const std::uint32_t hint = fed_payload[fed];
      if (hint != kNone && payload_equal(payloads[hint].key(), v.payload())) return hint;
    }
    // Room first, so that nothing can fail once the payload is stored.
    reserve_more(shortcut, 1);
    if (fed >= fed_payload.size()) fed_payload.resize(std::max<std::size_t>(fed + 1, fed_payload.size() * 2), kNone);
    const std::uint64_t hash = payloads.hash(v.payload());
    std::size_t p = payloads.find(hash, v.payload());
    if (p == PayloadInterner::npos) {
      // Only a payload seen for the first time needs its shortcut, and that
      // is found before it is stored, while a failure still changes nothing.
      const Shortcut allowed = shortcut_of_payload(v.payload().view(), symbol_text);
      p = payloads.add(hash, v.payload());
      shortcut.push_back(allowed);
    }
    fed_payload[fed] = static_cast<std::uint32_t>(p);
    return static_cast<std::uint32_t>(p);
  }

  bool matches(std::uint32_t id, std::uint32_t payload, std::span<const std::uint32_t> in, bool either_order) const {
    const CNode& c = nodes[id];
    if (c.payload != payload || in_end(id) - c.in_begin != in.size()) return false;
    const std::uint32_t* x = inputs.data() + c.in_begin;
    if (std::equal(in.begin(), in.end(), x)) return true;
    return either_order && x[0] == in[1] && x[1] == in[0];
  }

  // The lookup of (payload, in): its id is the canonical node equal to it,
  // or kNone. With `either_order` (a commutative op over two inputs) the
  // swapped inputs match as well; at most one of the two orders is ever
  // recorded, since every such op is looked up this way before it is added.
  NodeIndex::Probe find(std::uint32_t payload, std::span<const std::uint32_t> in, bool either_order) const {
    auto probe = [&](std::span<const std::uint32_t> q) {
      return index.probe(node_hash(payload, q), q, [&](std::uint32_t c) { return matches(c, payload, q, false); });
    };
    NodeIndex::Probe p = probe(in);
    if (p.id == kNone && either_order) {
      const std::uint32_t swapped[2] = {in[1], in[0]};
      p.id = probe(swapped).id;
    }
    return p;
  }

  // Appends a node (room for it was reserved by the caller's delta, except
  // perhaps in the index, which is made here before anything changes).
  // `missed` is the lookup of (payload, in) that found nothing.
  std::uint32_t add(std::uint32_t payload, std::span<const std::uint32_t> in, NodeIndex::Probe missed) {
    expect(nodes.size() < kNone - 1, "canonical form holds fewer than 2^32 - 1 nodes");
    const std::uint32_t id = static_cast<std::uint32_t>(nodes.size());
    const std::uint64_t h = node_hash(payload, in);
    index.prepare_insert(missed, rehash());
    reserve_more(inputs, in.size());
    inputs.insert(inputs.end(), in.begin(), in.end());
    nodes.push_back(CNode{payload, inputs.size() - in.size()});
    index.insert_prepared(missed, h, id);
    return id;
  }

  // Undoes the adds of nodes from `count` on, newest first. Payloads stored
  // meanwhile stay: an unused payload changes no result.
  void remove_nodes_from(std::size_t count) noexcept {
    for (std::size_t id = nodes.size(); id-- > count;) {
      const auto n = static_cast<std::uint32_t>(id);
      index.erase_newest(node_hash(nodes[n].payload, inputs_of(n)), inputs_of(n), n, rehash());
      inputs.resize(nodes[n].in_begin);
      nodes.pop_back();
    }
  }
};

// Where a call found the reducer, to go back to when it cannot finish.
struct IncrementalReducer::Checkpoint {
  std::size_t nodes;
  std::size_t id_map;
  std::uint64_t total_work;
  std::uint64_t bound_serial;

  explicit Checkpoint(const State& s)
      : nodes(s.nodes.size()), id_map(s.id_map.size()), total_work(s.total_work), bound_serial(s.bound_serial) {}
  void restore(State& s) const noexcept {
    s.remove_nodes_from(nodes);
    s.id_map.resize(id_map);
    s.total_work = total_work;
    s.bound_serial = bound_serial;
  }
};

// The canonical form as a sequence the reduction pipeline reads.
class IncrementalReducer::State::Sequence final : public NodeSequence {
 public:
  // The pipeline reads inputs as node ids: widened once here.
  explicit Sequence(const State& s) : s_(s), wide_(s.inputs.begin(), s.inputs.end()) {}
  std::size_t size() const override { return s_.nodes.size(); }
  std::uint32_t payload_bound() const override { return static_cast<std::uint32_t>(s_.payloads.size()); }
  NodeShape shape(NodeId id) const override {
    const CNode& c = s_.nodes[id];
    return NodeShape{c.payload, s_.payloads[c.payload].kind, inputs_of(id)};
  }
  void append_symbol(NodeId id, std::string& out) const override {
    append_payload_symbol(out, s_.payloads[s_.nodes[id].payload].view());
  }
  NodeRef ref(NodeId id) const override {
    return NodeRef{s_.payloads[s_.nodes[id].payload].key(), inputs_of(id)};
  }

 private:
  std::span<const NodeId> inputs_of(NodeId id) const {
    const std::uint32_t i = static_cast<std::uint32_t>(id);
    return {wide_.data() + s_.nodes[i].in_begin, wide_.data() + s_.in_end(i)};
  }

  const State& s_;
  std::vector<NodeId> wide_;
};

IncrementalReducer::IncrementalReducer() : state_(std::make_unique<State>()) {}
IncrementalReducer::~IncrementalReducer() = default;

// Consumes the delta; on any exception the reducer is rolled back to where
// the call found it before the exception goes on.
Expected<std::uint64_t, ReducerError> IncrementalReducer::consume_locked(const Store& store, Interrupt* interrupt) {
  State& s = *state_;
  if (s.bound_serial != 0 && s.bound_serial != store.serial()) {
    return unexpected(ReducerError{ReducerError::Kind::ForeignStore, 0});
  }
  const Checkpoint checkpoint(s);
  try {
    const Snapshot delta = store.nodes_since(s.id_map.size());
    reserve_more(s.id_map, delta.size());
    reserve_more(s.nodes, delta.size());
    s.index.reserve(s.nodes.size() + delta.size());
    InterruptCheck check(interrupt);
    for (NodeId id = delta.begin_id(); id < delta.end_id(); ++id) {
      check.tick();
      const NodeView v = delta.node(id);
      s.scratch.clear();
      for (NodeId in : v.inputs()) {
        // A store's inputs precede their node, and the reducer only ever
        // sees its own store, so every input has an entry.
        expect(in < s.id_map.size(), "a fed node's inputs were consumed before it");
        s.scratch.push_back(s.id_map[in]);
      }
      const std::uint32_t p = s.payload_of(v);
      const Shortcut allowed = s.shortcut[p];
      const bool applies = allowed != Shortcut::None && s.scratch.size() == shortcut_arity(allowed);
      std::uint32_t result;
      if (applies && allowed == Shortcut::Collapse) {
        result = s.scratch[0];
      } else {
        const bool commutes = applies;
        const NodeIndex::Probe found = s.find(p, s.scratch, commutes);
        result = found.id != kNone ? found.id : s.add(p, s.scratch, found);
      }
      s.id_map.push_back(result);
    }
    s.total_work += delta.size();
    s.bound_serial = store.serial();
    return delta.size();
  } catch (...) {
    checkpoint.restore(s);
    throw;
  }
}

Expected<std::uint64_t, ReducerError> IncrementalReducer::step(const Store& store, Interrupt* interrupt) {
  return mutex_.locked([&] { return consume_locked(store, interrupt); });
}

std::uint64_t IncrementalReducer::watermark() const {
  return mutex_.locked([&] { return static_cast<std::uint64_t>(state_->id_map.size()); });
}

std::uint64_t IncrementalReducer::total_work() const {
  return mutex_.locked([&] { return state_->total_work; });
}

std::uint64_t IncrementalReducer::canonical_count() const {
  return mutex_.locked([&] { return static_cast<std::uint64_t>(state_->nodes.size()); });
}

Expected<ReductionResult, ReducerError> IncrementalReducer::finalize(const Store& store,
                                                                     std::optional<std::span<const NodeId>> outputs,
                                                                     bool maximal_fusion, RewriteEngine& engine,
                                                                     Interrupt* interrupt) {
  return mutex_.locked([&]() -> Expected<ReductionResult, ReducerError> {
    State& s = *state_;
    if (s.bound_serial != 0 && s.bound_serial != store.serial()) {
      return unexpected(ReducerError{ReducerError::Kind::ForeignStore, 0});
    }
    // The outputs are settled before anything is consumed: a bad id changes
    // nothing.
    std::vector<NodeId> outs;
    if (outputs) {
      const std::uint64_t count = store.node_count();
      for (NodeId id : *outputs) {
        if (id >= count) return unexpected(ReducerError{ReducerError::Kind::BadNodeId, id});
      }
      outs.assign(outputs->begin(), outputs->end());
    } else {
      outs = store.outputs();
    }
    const Checkpoint checkpoint(s);
    auto consumed = consume_locked(store, interrupt);
    if (!consumed) return unexpected(consumed.error());
    try {
      for (NodeId& o : outs) {
        expect(o < s.id_map.size(), "finalize's outputs were consumed");
        o = s.id_map[o];
      }
      return reduce_to_store(State::Sequence(s), outs, engine, maximal_fusion, nullptr, interrupt);
    } catch (...) {
      checkpoint.restore(s);
      throw;
    }
  });
}

}  // namespace tavrine::opt
