#include "store/store.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <stdexcept>

#include "support/handle_table.h"
#include "support/hash.h"
#include "support/panic.h"

namespace tavrine {

std::string BadNodeId::message() const { return "no node with id " + std::to_string(id); }

using detail::kNoNode;
using detail::NodeRec;

Node NodeView::to_node() const {
  Node n;
  n.kind = kind();
  const PayloadView p = payload_->view();
  if (kind_has_name(n.kind)) n.name = std::string(p.name());
  if (n.kind != NodeKind::Stage) n.params = p.params().to_map();
  if (n.kind == NodeKind::External) n.descriptor = std::make_shared<const PayloadDescriptor>(p.descriptor().to_descriptor());
  for (MemberRef m : p.members()) n.members.push_back(m.to_member());
  n.inputs.assign(inputs_, inputs_ + n_inputs_);
  return n;
}

namespace {

std::atomic<std::uint64_t> g_next_serial{1};

// A node is filed under its largest input; only the newest kChainDepth nodes
// filed under one input are reached through the chain, older ones (an input
// with a wide fan-out) are also entered in the spill table.
constexpr int kChainDepth = 8;

std::uint64_t hash_node(std::uint64_t payload_hash, std::span<const NodeId> inputs) noexcept {
  std::uint64_t h = detail::combine(payload_hash, inputs.size());
  for (NodeId id : inputs) h = detail::combine(h, id);
  return detail::mix64(h);
}

bool same_inputs(const NodeRec& r, std::span<const NodeId> inputs) noexcept {
  if (r.n_inputs != inputs.size()) return false;
  if (inputs.size() <= 2) {
    // Inline; the unused slot of a one-input record is never compared.
    return r.in.near[0] == inputs[0] && (inputs.size() < 2 || r.in.near[1] == inputs[1]);
  }
  const NodeId* stored = r.inputs();
  for (std::size_t k = 0; k < inputs.size(); ++k) {
    if (stored[k] != inputs[k]) return false;
  }
  return true;
}

NodeId key_of(std::span<const NodeId> inputs) noexcept {
  switch (inputs.size()) {
    case 1: return inputs[0];
    case 2: return std::max(inputs[0], inputs[1]);
    default: return *std::max_element(inputs.begin(), inputs.end());
  }
}

}  // namespace

// Writer-side state: only touched under the store's lock.
struct Store::Index {
  HandleTable<32> spill;             // (payload, inputs) of nodes past a chain's depth
  std::vector<std::uint32_t> leaf;   // payload id -> the node without inputs, or kNoNode
  // Payloads of recent interns by a cheap fingerprint of their bytes, tried
  // before hashing: recording and blobs use few distinct payloads over and
  // over, and a hit spares the payload's hash and its table probe.
  static constexpr int kRecentBits = 8;
  std::array<std::uint32_t, std::size_t{1} << kRecentBits> recent;
  Index() { recent.fill(kNoNode); }
  static std::size_t recent_slot(const PayloadKey& p) noexcept {
    const std::size_t n = p.bytes.size();
    const char* b = p.bytes.data();
    // The first and last bytes (names begin at 4, params end the payload),
    // the length and the kind.
    const std::uint64_t w = n >= 8 ? detail::load64(b) ^ (detail::load64(b + n - 8) * 0x9E3779B97F4A7C15ull)
                                   : (n ? detail::tail_word(b, n) : 0);
    return static_cast<std::size_t>(
        detail::mix64(w ^ (n << 8) ^ static_cast<std::uint64_t>(p.kind)) >> (64 - kRecentBits));
  }
  std::vector<NodeId> marks;
  std::vector<bool> marked;
};

Store::Store()
    : serial_(g_next_serial.fetch_add(1, std::memory_order_relaxed)),
      data_(std::make_shared<detail::StoreData>(fresh_seed())),
      index_(std::make_unique<Index>()) {}

Store::~Store() = default;

Expected<NodeId, BadNodeId> Store::intern(const Node& node) {
  const EncodedPayload payload = EncodedPayload::of(node);
  std::span<const NodeId> inputs = node.kind == NodeKind::Source ? std::span<const NodeId>{} : node.inputs;
  return intern(NodeRef{payload.key(), inputs});
}

// A repeat of a node with inputs is usually found without the lock. Nodes
// are complete before they are published (the node count and the chain
// heads are release-stored last), and nothing of a published node changes
// but the head of its chain, an atomic: walking a chain from the head
// loaded with acquire semantics therefore only ever sees complete nodes. A
// miss here is not final (the node may be deeper than the chain reaches,
// or being added right now); the locked path decides.
NodeId Store::find_unlocked(const NodeRef& node) const noexcept {
  const std::span<const NodeId> inputs = node.inputs;
  if (inputs.empty()) return kNotFound;
  const detail::StoreData& d = *data_;
  const NodeId key = key_of(inputs);
  if (key >= d.published.load(std::memory_order_acquire)) return kNotFound;
  std::uint32_t cand = d.nodes[key].head.load(std::memory_order_acquire);
  for (int depth = 0; depth < kChainDepth && cand != kNoNode; ++depth) {
    const NodeRec& r = d.nodes[cand];
    if (same_inputs(r, inputs) && payload_equal(d.payloads[r.payload].key(), node.payload)) return cand;
    cand = r.next;
  }
  return kNotFound;
}

Expected<NodeId, BadNodeId> Store::intern(const NodeRef& node) {
  if (!mutex_.poisoned()) [[likely]] {
    const NodeId found = find_unlocked(node);
    if (found != kNotFound) return found;
  }
  const InternOutcome r = mutex_.locked([&] { return intern_locked(node); });
  if (r.bad) [[unlikely]] return unexpected(BadNodeId{r.id});
  return r.id;
}

Store::InternOutcome Store::intern_locked(const NodeRef& node) {
  detail::StoreData& d = *data_;
  Index& ix = *index_;
  const std::span<const NodeId> inputs = node.inputs;
  const std::uint64_t count = d.nodes.size();
  for (NodeId id : inputs) {
    if (id >= count) return {id, true};
  }

  // The payload: a recent one is tried first (recording tends to repeat a
  // few), which spares hashing it.
  std::uint32_t pid = kNoNode;
  std::uint64_t ph = 0;
  std::uint32_t& recent = ix.recent[Index::recent_slot(node.payload)];
  if (recent != kNoNode && payload_equal(d.payloads[recent].key(), node.payload)) {
    pid = recent;
    ph = d.payloads.hash_of(pid);
  } else {
    ph = d.payloads.hash(node.payload);
    const std::size_t found = d.payloads.find(ph, node.payload);
    if (found != PayloadInterner::npos) pid = static_cast<std::uint32_t>(found);
  }

  // The node, when its payload is known: the leaf of the payload, or the
  // chain of its largest input and past its depth the spill table.
  const NodeId key = inputs.empty() ? 0 : key_of(inputs);
  std::uint32_t chain_last = kNoNode;  // the node at the chain's last reachable depth
  int depth = 0;
  std::uint64_t nh = 0;
  if (!inputs.empty()) {
    for (std::uint32_t cand = d.nodes[key].head.load(std::memory_order_relaxed); cand != kNoNode && depth < kChainDepth;
         cand = d.nodes[cand].next) {
      const NodeRec& r = d.nodes[cand];
      if (r.payload == pid && same_inputs(r, inputs)) {
        recent = pid;
        return {cand, false};
      }
      chain_last = cand;
      ++depth;
    }
  }
  if (pid != kNoNode) {
    if (inputs.empty()) {
      if (ix.leaf[pid] != kNoNode) {
        recent = pid;
        return {ix.leaf[pid], false};
      }
    } else if (depth == kChainDepth) {
      nh = hash_node(ph, inputs);
      const std::uint64_t hit = ix.spill.find(nh, [&](std::uint64_t cand) {
        const NodeRec& r = d.nodes[cand];
        return r.payload == pid && same_inputs(r, inputs);
      });
      if (hit != ix.spill.npos) {
        recent = pid;
        return {hit, false};
      }
    }
  }

  // A new node. Everything that can fail happens first: room for the
  // record, for far inputs, in the tables, and then the payload; the node
  // is published last, by steps that cannot fail.
  if (count >= kNoNode - 1) throw std::length_error("a store holds at most 4294967294 nodes");
  d.nodes.ensure_room(1);
  const NodeId* far = inputs.size() > 2 ? d.arena.copy(inputs) : nullptr;
  const bool spills = depth == kChainDepth;
  auto rehash = [&](std::uint64_t id) {
    const NodeRec& r = d.nodes[id];
    return hash_node(d.payloads.hash_of(r.payload), {r.inputs(), r.n_inputs});
  };
  if (spills) ix.spill.prepare_insert(rehash);
  if (pid == kNoNode) {
    if (ix.leaf.size() == ix.leaf.capacity()) ix.leaf.reserve(std::max<std::size_t>(64, ix.leaf.capacity() * 2));
    pid = d.payloads.intern(ph, node.payload).first;
    ix.leaf.push_back(kNoNode);  // cannot fail: reserved
  }

  const std::uint32_t id = static_cast<std::uint32_t>(count);
  NodeRec& rec = d.nodes.emplace_back(pid, inputs, far);
  if (inputs.empty()) {
    ix.leaf[pid] = id;
  } else {
    // The node becomes the head of its key's chain; the node that falls
    // past the reachable depth is entered in the spill table instead.
    if (spills) ix.spill.insert_prepared(hash_node(d.payloads.hash_of(d.nodes[chain_last].payload),
                                                   {d.nodes[chain_last].inputs(), d.nodes[chain_last].n_inputs}),
                                         chain_last);
    rec.next = d.nodes[key].head.load(std::memory_order_relaxed);
  }
  d.published.store(count + 1, std::memory_order_release);
  if (!inputs.empty()) d.nodes[key].head.store(id, std::memory_order_release);
  recent = pid;
  return {count, false};
}

Expected<Ok, BadNodeId> Store::mark_locked(NodeId id) {
  Index& ix = *index_;
  const std::size_t count = data_->nodes.size();
  if (id >= count) return unexpected(BadNodeId{id});
  if (ix.marked.size() <= id) ix.marked.resize(count, false);
  if (!ix.marked[id]) {
    if (ix.marks.size() == ix.marks.capacity()) ix.marks.reserve(std::max<std::size_t>(8, ix.marks.size() * 2));
    ix.marks.push_back(id);  // cannot fail: reserved
    ix.marked[id] = true;
  }
  return Ok{};
}

Expected<Ok, BadNodeId> Store::mark_output(NodeId id) {
  return mutex_.locked([&] { return mark_locked(id); });
}

Store::Batch::Batch(Store& store) : store_(store) { store_.mutex_.lock_checked(); }
Store::Batch::~Batch() { store_.mutex_.unlock_checked(); }

Expected<NodeId, BadNodeId> Store::Batch::intern(const NodeRef& node) {
  const InternOutcome r = store_.mutex_.while_locked([&] { return store_.intern_locked(node); });
  if (r.bad) [[unlikely]] return unexpected(BadNodeId{r.id});
  return r.id;
}

Expected<Ok, BadNodeId> Store::Batch::mark_output(NodeId id) {
  return store_.mutex_.while_locked([&] { return store_.mark_locked(id); });
}

void Store::Batch::prefetch(NodeId key) const noexcept {
  const detail::StoreData& d = *store_.data_;
  if (key < d.nodes.size()) __builtin_prefetch(&d.nodes[key]);
}

void Store::Batch::prefetch_chain(NodeId key) const noexcept {
  const detail::StoreData& d = *store_.data_;
  if (key >= d.nodes.size()) return;
  const std::uint32_t first = d.nodes[key].head.load(std::memory_order_relaxed);
  if (first != kNoNode) __builtin_prefetch(&d.nodes[first]);
}

void Store::Batch::reserve(std::size_t nodes, std::size_t payloads) {
  store_.mutex_.while_locked([&] {
    detail::StoreData& d = *store_.data_;
    d.nodes.ensure_room(nodes);
    d.payloads.reserve(d.payloads.size() + payloads);
    Index& ix = *store_.index_;
    ix.leaf.reserve(ix.leaf.size() + payloads);
    return 0;
  });
}

std::uint64_t Store::node_count() const {
  return mutex_.locked([&] { return static_cast<std::uint64_t>(data_->nodes.size()); });
}

std::vector<NodeId> Store::outputs() const {
  return mutex_.locked([&] { return index_->marks; });
}

Snapshot Store::make_snapshot_locked(NodeId begin, bool with_marks) const {
  Snapshot s;
  s.data_ = data_;
  s.end_ = data_->nodes.size();
  s.begin_ = std::min(begin, s.end_);
  s.payload_count_ = static_cast<std::uint32_t>(data_->payloads.size());
  if (with_marks) s.marks_ = index_->marks;
  return s;
}

Snapshot Store::snapshot() const {
  return mutex_.locked([&] { return make_snapshot_locked(0, true); });
}

Snapshot Store::nodes_since(NodeId start) const {
  return mutex_.locked([&] { return make_snapshot_locked(start, false); });
}

Expected<Snapshot, BadNodeId> Store::snapshot_checked(std::span<const NodeId> ids) const {
  return mutex_.locked([&]() -> Expected<Snapshot, BadNodeId> {
    const std::uint64_t count = data_->nodes.size();
    for (NodeId id : ids) {
      if (id >= count) return unexpected(BadNodeId{id});
    }
    return make_snapshot_locked(0, false);
  });
}

std::size_t Store::memory_bytes() const {
  return mutex_.locked([&] {
    const detail::StoreData& d = *data_;
    const Index& ix = *index_;
    return d.nodes.memory_bytes() + d.payloads.memory_bytes() + d.arena.memory_bytes() + ix.spill.memory_bytes() +
           ix.leaf.capacity() * sizeof(std::uint32_t) + ix.marks.capacity() * sizeof(NodeId) + ix.marked.capacity() / 8;
  });
}

}  // namespace tavrine
