#include "store/store.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <stdexcept>

#include "support/node_index.h"
#include "support/hash.h"
#include "support/panic.h"

namespace tavrine {

std::string BadNodeId::message() const { return "no node with id " + std::to_string(id); }

using detail::kNoNode;
using detail::NodeRec;

namespace {

std::atomic<std::uint64_t> g_next_serial{1};

bool same_inputs(const NodeRec& r, std::span<const NodeId> inputs) noexcept {
  if (r.n_inputs != inputs.size()) return false;
  if (inputs.size() <= 2) {
    // Inline; the unused slot of a one-input record is never compared.
    return inputs.empty() || (r.in.near[0] == inputs[0] && (inputs.size() < 2 || r.in.near[1] == inputs[1]));
  }
  const NodeId* stored = r.inputs();
  for (std::size_t k = 0; k < inputs.size(); ++k) {
    if (stored[k] != inputs[k]) return false;
  }
  return true;
}

// Recomputes the index hash of a stored node, for the index's growth.
auto stored_hash(const detail::StoreData& d) noexcept {
  return [&d](std::uint32_t id) {
    const NodeRec& r = d.nodes[id];
    return NodeIndex::hash(d.payloads.hash_of(r.payload), std::span<const NodeId>{r.inputs(), r.n_inputs});
  };
}

}  // namespace

// Writer-side state: only touched under the store's lock.
struct Store::Index {
  NodeIndex nodes;  // (payload, inputs) -> node
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
    const std::uint64_t w = n >= 8 ? enc::load_u64(b) ^ (enc::load_u64(b + n - 8) * 0x9E3779B97F4A7C15ull)
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

namespace {

// The node after the one this thread's last intern returned, in the store
// with this serial. Code that records a graph again (a script or a cell run
// a second time) asks for its nodes in the order it first recorded them, so
// its next key is most often that node, whose record sits next to the one
// just read: checking it first spares the index's random probe. Per thread,
// so that threads recording at once neither share a written cache line nor
// spoil each other's guess; a wrong guess costs one record comparison.
struct ReplayGuess {
  std::uint64_t serial = 0;  // no store has serial 0
  NodeId next = 0;
};
thread_local ReplayGuess t_replay;

bool same_node(const detail::StoreData& d, std::uint32_t id, const NodeRef& node) noexcept {
  const NodeRec& r = d.nodes[id];
  return same_inputs(r, node.inputs) && payload_equal(d.payloads[r.payload].key(), node.payload);
}

}  // namespace

// A repeat found without the lock: the node this thread's replay guess
// names, or the first node anchored at the key's largest input (see
// NodeIndex::first_at). Both are below the published count, read with
// acquire semantics, so the records (and the anchor's summary) read are
// complete. A miss is not final; the locked path decides.
NodeId Store::find_unlocked(const NodeRef& node) const noexcept {
  const detail::StoreData& d = *data_;
  const std::uint64_t published = d.published.load(std::memory_order_acquire);
  const ReplayGuess guess = t_replay;
  if (guess.serial == serial_ && guess.next < published && same_node(d, static_cast<std::uint32_t>(guess.next), node)) {
    return guess.next;
  }
  const std::span<const NodeId> inputs = node.inputs;
  if (inputs.empty()) return kNotFound;
  const NodeId anchor = NodeIndex::anchor_of(inputs);
  if (anchor >= published) return kNotFound;
  const std::uint32_t first = index_->nodes.first_at(static_cast<std::size_t>(anchor));
  if (first == NodeIndex::kNone) return kNotFound;
  return same_node(d, first, node) ? first : kNotFound;
}

Expected<NodeId, BadNodeId> Store::intern(const NodeRef& node) {
  NodeId id = kNotFound;
  if (!mutex_.poisoned()) [[likely]] id = find_unlocked(node);
  if (id == kNotFound) {
    const InternOutcome r = mutex_.locked([&] { return intern_locked(node, look_up_locked(node)); });
    if (r.bad) [[unlikely]] return unexpected(BadNodeId{r.id});
    id = r.id;
  }
  t_replay = ReplayGuess{serial_, id + 1};
  return id;
}

// The hashes, and the payload's id when it is a recent one (recording tends
// to repeat a few), which spares hashing it. Any other payload is left to
// the node's probe: a node found compares its payload directly, and only a
// new node looks its payload up.
Store::Batch::Lookup Store::look_up_locked(const NodeRef& node) const noexcept {
  const detail::StoreData& d = *data_;
  Batch::Lookup k;
  k.recent_slot = static_cast<std::uint32_t>(Index::recent_slot(node.payload));
  const std::uint32_t recent = index_->recent[k.recent_slot];
  if (recent != kNoNode && payload_equal(d.payloads[recent].key(), node.payload)) {
    k.payload = recent;
    k.payload_hash = d.payloads.hash_of(recent);
  } else {
    k.payload = kNoNode;
    k.payload_hash = d.payloads.hash(node.payload);
    // Looked up only after the node's probe misses; fetched now, so that its
    // miss overlaps the node's (or, for a lookup made ahead, is over by the
    // time the node is interned).
    d.payloads.prefetch(k.payload_hash);
  }
  k.hash = NodeIndex::hash(k.payload_hash, node.inputs);
  return k;
}

Store::InternOutcome Store::intern_locked(const NodeRef& node, Batch::Lookup k) {
  detail::StoreData& d = *data_;
  Index& ix = *index_;
  const std::span<const NodeId> inputs = node.inputs;
  const std::uint64_t count = d.nodes.size();
  for (NodeId id : inputs) {
    if (id >= count) return {id, true};
  }
  std::uint32_t& recent = ix.recent[k.recent_slot];
  NodeIndex::Probe probe = ix.nodes.probe(k.hash, inputs, [&](std::uint32_t cand) {
    const NodeRec& r = d.nodes[cand];
    if (!same_inputs(r, inputs)) return false;
    return k.payload != kNoNode ? r.payload == k.payload : payload_equal(d.payloads[r.payload].key(), node.payload);
  });
  if (probe.id != NodeIndex::kNone) {
    recent = d.nodes[probe.id].payload;
    return {probe.id, false};
  }
  if (k.payload == kNoNode) {
    const std::size_t found = d.payloads.find(k.payload_hash, node.payload);
    if (found != PayloadInterner::npos) k.payload = static_cast<std::uint32_t>(found);
  }

  // A new node. Everything that can fail happens first: room for the
  // record, for far inputs, in the index, and then the payload; the node is
  // published last, by steps that cannot fail.
  if (count >= kNoNode - 1) throw std::length_error("a store holds at most 4294967294 nodes");
  d.nodes.ensure_room(1);
  const NodeId* far = inputs.size() > 2 ? d.arena.copy(inputs) : nullptr;
  ix.nodes.prepare_insert(probe, stored_hash(d));
  if (k.payload == kNoNode) k.payload = d.payloads.add(k.payload_hash, node.payload);

  const std::uint32_t id = static_cast<std::uint32_t>(count);
  d.nodes.emplace_back(k.payload, inputs, far);
  ix.nodes.insert_prepared(probe, k.hash, id);
  d.published.store(count + 1, std::memory_order_release);
  recent = k.payload;
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

Store::Batch::Lookup Store::Batch::look_ahead(const NodeRef& node) const noexcept {
  const Lookup k = store_.look_up_locked(node);
  store_.index_->nodes.prefetch(k.hash, node.inputs);
  return k;
}

Expected<NodeId, BadNodeId> Store::Batch::intern(const NodeRef& node) {
  return intern(node, store_.look_up_locked(node));
}

Expected<NodeId, BadNodeId> Store::Batch::intern(const NodeRef& node, const Lookup& lookup) {
  const InternOutcome r = store_.mutex_.while_locked([&] { return store_.intern_locked(node, lookup); });
  if (r.bad) [[unlikely]] return unexpected(BadNodeId{r.id});
  return r.id;
}

void Store::Batch::reserve(std::size_t nodes) {
  const detail::StoreData& d = *store_.data_;
  store_.index_->nodes.reserve(d.nodes.size() + nodes);
}

void Store::Batch::reserve_payloads(std::size_t payloads) {
  detail::StoreData& d = *store_.data_;
  d.payloads.reserve(d.payloads.size() + payloads);
}

Expected<Ok, BadNodeId> Store::Batch::mark_output(NodeId id) {
  return store_.mutex_.while_locked([&] { return store_.mark_locked(id); });
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
    return d.nodes.memory_bytes() + d.payloads.memory_bytes() + d.arena.memory_bytes() + ix.nodes.memory_bytes() + ix.marks.capacity() * sizeof(NodeId) + ix.marked.capacity() / 8;
  });
}

}  // namespace tavrine
