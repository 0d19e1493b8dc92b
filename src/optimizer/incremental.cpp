#include "optimizer/incremental.h"

#include <algorithm>
#include <exception>
#include <new>

#include "optimizer/flat_index.h"
#include "support/panic.h"

namespace tavrine::opt {

namespace {

constexpr std::uint32_t kNone = UINT32_MAX;

enum class Role : std::uint8_t { Plain, Identity, Commutative };

// The non-input part of a canonical node, owned by the reducer.
struct Payload {
  NodeKind kind;
  Role role;
  std::string name;
  ParamMap params;
  std::shared_ptr<const PayloadDescriptor> descriptor;
  std::vector<StageMember> members;
  std::uint64_t hash;
};

std::uint64_t hash_payload(std::uint64_t seed, const NodeView& v) {
  std::uint64_t h = detail::combine(seed, static_cast<std::uint64_t>(v.kind()) + 1);
  h = detail::hash_bytes(h, v.name());
  const ParamMap& params = v.params();
  h = detail::combine(h, params.size());
  for (const Param& p : params.entries) {
    h = detail::hash_bytes(h, p.key);
    h = detail::combine(h, static_cast<std::uint64_t>(p.value.tag()));
    if (p.value.tag() == ParamValue::Tag::Str) {
      h = detail::hash_bytes(h, p.value.as_str());
    } else {
      h = detail::combine(h, p.value.tag() == ParamValue::Tag::Float ? p.value.canonical_float_bits()
                                                                      : static_cast<std::uint64_t>(p.value.as_int()));
    }
  }
  if (const PayloadDescriptor* d = v.descriptor()) {
    for (const std::string* f : {&d->kind, &d->content_hash, &d->framework, &d->version, &d->io_schema}) {
      h = detail::hash_bytes(h, *f);
    }
    h = detail::combine(h, d->preprocessing_ref.has_value());
    if (d->preprocessing_ref) h = detail::hash_bytes(h, *d->preprocessing_ref);
  }
  h = detail::combine(h, v.members().size());
  for (const StageMember& m : v.members()) {
    h = detail::hash_bytes(h, m.token);
    h = detail::combine(h, m.refs.size());
    for (const StageRef& r : m.refs) h = detail::combine(h, (r.index << 1) | static_cast<std::uint64_t>(r.kind));
  }
  return detail::mix64(h);
}

bool same_payload(const Payload& p, const NodeView& v) {
  if (p.kind != v.kind() || p.name != v.name() || !(p.params == v.params())) return false;
  const PayloadDescriptor* d = v.descriptor();
  if ((p.descriptor != nullptr) != (d != nullptr)) return false;
  if (d && p.descriptor.get() != d && !(*p.descriptor == *d)) return false;
  auto m = v.members();
  return std::equal(p.members.begin(), p.members.end(), m.begin(), m.end());
}

// A canonical node: its payload, the link to the next node filed under the
// same key input (see State), and where its inputs start; they end where the
// next node's start. 16 bytes, so that chains stay in few cache lines.
struct CNode {
  std::uint32_t payload;
  std::uint32_t next;
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
// Hash-consing is done without a global table in the common case: a node
// with inputs is filed under its largest (most recently created) input, in
// a short chain threaded through the node records. Graphs are recorded
// front to back, so that input and the nodes filed under it are usually
// still in cache, and the per-node cost stays flat however large the form
// grows. A key with more than kChainMax nodes filed under it spills further
// nodes into a hash index, which bounds every lookup. Nodes without inputs
// are found by payload directly.
struct IncrementalReducer::State {
  static constexpr std::uint8_t kChainMax = 8;
  static constexpr std::uint8_t kSpilled = 255;

  // ---- the canonical form
  std::vector<Payload> payloads;
  std::vector<CNode> nodes;
  std::vector<std::uint32_t> inputs;  // all canonical inputs, node by node

  // ---- lookup structures
  HandleIndex payload_index;             // content -> payload
  std::vector<std::uint32_t> fed_payload;  // fed store payload id -> payload (a hint, verified)
  std::vector<std::uint32_t> leaf;       // payload -> the node with no inputs, or kNone
  std::vector<std::uint32_t> head;       // node -> first node filed under it
  std::vector<std::uint8_t> chain;       // node -> nodes filed under it (kSpilled: spilled)
  HandleIndex spilled;                   // (payload, inputs) -> node, for spilled keys

  // ---- progress
  std::vector<std::uint32_t> id_map;  // store id -> canonical id
  std::uint64_t total_work = 0;

  std::uint64_t seed = process_seed();
  std::vector<std::uint32_t> scratch;

  class Sequence;

  std::uint64_t in_end(std::uint32_t id) const {
    return id + 1 < nodes.size() ? nodes[id + 1].in_begin : inputs.size();
  }
  std::span<const std::uint32_t> inputs_of(std::uint32_t id) const {
    return {inputs.data() + nodes[id].in_begin, inputs.data() + in_end(id)};
  }

  std::uint64_t node_hash(std::uint32_t payload, std::span<const std::uint32_t> in) const {
    std::uint64_t h = detail::combine(seed ^ 0x6a09e667f3bcc909ull, payload);
    for (std::uint32_t i : in) h = detail::combine(h, i);
    return detail::mix64(detail::combine(h, in.size()));
  }

  std::uint32_t payload_of(const NodeView& v) {
    const std::uint32_t fed = v.payload_id();
    if (fed < fed_payload.size()) {
      const std::uint32_t hint = fed_payload[fed];
      if (hint != kNone && same_payload(payloads[hint], v)) return hint;
    }
    const std::uint64_t h = hash_payload(seed, v);
    std::uint32_t p = payload_index.find(h, [&](std::uint32_t c) {
      return payloads[c].hash == h && same_payload(payloads[c], v);
    });
    if (p == HandleIndex::kNone) {
      expect(payloads.size() < kNone - 1, "fewer than 2^32 - 1 distinct payloads");
      p = static_cast<std::uint32_t>(payloads.size());
      Role role = Role::Plain;
      if (v.kind() == NodeKind::Op) {
        if (is_identity_payload(v.name(), v.params())) {
          role = Role::Identity;
        } else if (v.params().empty() && commutative_op_index(v.name()) >= 0) {
          role = Role::Commutative;
        }
      }
      Payload np{v.kind(), role, std::string(v.name()), v.params(), nullptr, {}, h};
      if (const PayloadDescriptor* d = v.descriptor()) np.descriptor = std::make_shared<const PayloadDescriptor>(*d);
      np.members.assign(v.members().begin(), v.members().end());
      payloads.push_back(std::move(np));
      leaf.push_back(kNone);
      payload_index.insert(h, p, [&](std::uint32_t c) { return payloads[c].hash; });
    }
    if (fed >= fed_payload.size()) fed_payload.resize(std::max<std::size_t>(fed + 1, fed_payload.size() * 2), kNone);
    fed_payload[fed] = p;
    return p;
  }

  bool matches(std::uint32_t id, std::uint32_t payload, std::span<const std::uint32_t> in, bool either_order) const {
    const CNode& c = nodes[id];
    if (c.payload != payload || in_end(id) - c.in_begin != in.size()) return false;
    const std::uint32_t* x = inputs.data() + c.in_begin;
    if (std::equal(in.begin(), in.end(), x)) return true;
    return either_order && x[0] == in[1] && x[1] == in[0];
  }

  // The canonical node equal to (payload, in), or kNone. With `either_order`
  // (a commutative op over two inputs) the swapped inputs match as well; at
  // most one of the two orders is ever recorded, since every such op is
  // looked up this way before it is added.
  std::uint32_t find(std::uint32_t payload, std::span<const std::uint32_t> in, bool either_order) const {
    if (in.empty()) return leaf[payload];
    const std::uint32_t key = *std::max_element(in.begin(), in.end());
    for (std::uint32_t j = head[key]; j != kNone; j = nodes[j].next) {
      if (matches(j, payload, in, either_order)) return j;
    }
    if (chain[key] != kSpilled) return kNone;
    auto probe = [&](std::span<const std::uint32_t> q) {
      return spilled.find(node_hash(payload, q), [&](std::uint32_t c) { return matches(c, payload, q, false); });
    };
    std::uint32_t found = probe(in);
    if (found == HandleIndex::kNone && either_order) {
      const std::uint32_t swapped[2] = {in[1], in[0]};
      found = probe(swapped);
    }
    return found == HandleIndex::kNone ? kNone : found;
  }

  std::uint32_t add(std::uint32_t payload, std::span<const std::uint32_t> in) {
    expect(nodes.size() < kNone - 1, "canonical form holds fewer than 2^32 - 1 nodes");
    const std::uint32_t id = static_cast<std::uint32_t>(nodes.size());
    const std::uint64_t begin = inputs.size();
    inputs.insert(inputs.end(), in.begin(), in.end());
    nodes.push_back(CNode{payload, kNone, begin});
    head.push_back(kNone);
    chain.push_back(0);
    if (in.empty()) {
      leaf[payload] = id;
    } else {
      const std::uint32_t key = *std::max_element(in.begin(), in.end());
      if (chain[key] < kChainMax) {
        nodes[id].next = head[key];
        head[key] = id;
        ++chain[key];
      } else {
        chain[key] = kSpilled;
        spilled.insert(node_hash(payload, in), id, [&](std::uint32_t c) {
          return node_hash(nodes[c].payload, inputs_of(c));
        });
      }
    }
    return id;
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
    const Payload& p = s_.payloads[s_.nodes[id].payload];
    append_payload_symbol(out, p.kind, p.name, p.params, p.descriptor.get(), p.members);
  }
  NodeRef ref(NodeId id) const override {
    const Payload& p = s_.payloads[s_.nodes[id].payload];
    return NodeRef{p.kind, p.name, &p.params, p.descriptor.get(), inputs_of(id), p.members};
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

Expected<std::uint64_t, BadNodeId> IncrementalReducer::consume_locked(const Store& store) {
  State& s = *state_;
  const Snapshot delta = store.nodes_since(s.id_map.size());
  std::uint64_t consumed = 0;
  std::optional<BadNodeId> failure;
  reserve_more(s.id_map, delta.size());
  reserve_more(s.nodes, delta.size());
  reserve_more(s.head, delta.size());
  reserve_more(s.chain, delta.size());
  for (NodeId id = delta.begin_id(); id < delta.end_id(); ++id) {
    const NodeView v = delta.node(id);
    s.scratch.clear();
    for (NodeId in : v.inputs()) {
      if (in >= s.id_map.size()) {
        failure = BadNodeId{in};
        break;
      }
      s.scratch.push_back(s.id_map[in]);
    }
    if (failure) break;

    const std::uint32_t p = s.payload_of(v);
    const Role role = s.payloads[p].role;
    std::uint32_t result;
    if (role == Role::Identity && s.scratch.size() == 1) {
      // add 0.0 / mul 1.0 with one input is that input
      result = s.scratch[0];
    } else {
      const bool commutes = role == Role::Commutative && s.scratch.size() == 2;
      std::uint32_t c = s.find(p, s.scratch, commutes);
      if (c == kNone) c = s.add(p, s.scratch);
      result = c;
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
  return state_->nodes.size();
}

Expected<ReductionResult, BadNodeId> IncrementalReducer::finalize(const Store& store,
                                                                  std::optional<std::span<const NodeId>> outputs,
                                                                  bool maximal_fusion, RewriteEngine& engine,
                                                                  Interrupt* interrupt) {
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

  // The reduction only reads the canonical form: when it is interrupted or
  // fails to allocate, the reducer is intact, so the failure is passed on
  // after the lock is released instead of poisoning it.
  std::exception_ptr stopped;
  {
    PoisonMutex::Guard guard(mutex_);
    State& s = *state_;
    auto consumed = consume_locked(store);
    if (!consumed) return unexpected(consumed.error());
    for (NodeId& o : outs) {
      if (o >= s.id_map.size()) return unexpected(BadNodeId{o});
      o = s.id_map[o];
    }
    try {
      return reduce_to_store(State::Sequence(s), outs, engine, maximal_fusion, nullptr, interrupt);
    } catch (const Interrupted&) {
      stopped = std::current_exception();
    } catch (const std::bad_alloc&) {
      stopped = std::current_exception();
    }
  }
  std::rethrow_exception(stopped);
}

}  // namespace tavrine::opt
