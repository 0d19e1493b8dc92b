#include "store/store.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <sys/random.h>

#include "support/big_alloc.h"
#include "support/hash.h"
#include "support/panic.h"

namespace tavrine {

std::string BadNodeId::message() const { return "no node with id " + std::to_string(id); }


using detail::NodeRec;
using detail::Payload;

// ---------------------------------------------------------------------------
// NodeView / Snapshot


Node NodeView::to_node() const {
  Node n;
  n.kind = payload_->kind;
  n.name = payload_->name;
  n.params = payload_->params;
  n.descriptor = payload_->descriptor;
  n.inputs.assign(inputs_, inputs_ + n_inputs_);
  n.members = payload_->members;
  return n;
}


// ---------------------------------------------------------------------------
// Store internals

namespace {

std::uint64_t fresh_seed(const void* salt) {
  std::uint64_t seed = 0;
  if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed)) {
    // No entropy available yet: the seed only spreads hash values, so the
    // clock and an address are good enough.
    seed = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }
  return detail::mix64(seed ^ reinterpret_cast<std::uintptr_t>(salt));
}

std::uint64_t hash_params(std::uint64_t h, const ParamMap& params) {
  h = detail::combine(h, params.entries.size());
  for (const Param& p : params.entries) {
    h = detail::hash_bytes(h, p.key);
    const ParamValue& v = p.value;
    h = detail::combine(h, static_cast<std::uint64_t>(v.tag()));
    switch (v.tag()) {
      case ParamValue::Tag::Int: h = detail::combine(h, static_cast<std::uint64_t>(v.as_int())); break;
      case ParamValue::Tag::Float: h = detail::combine(h, v.canonical_float_bits()); break;
      case ParamValue::Tag::Bool: h = detail::combine(h, v.as_bool() ? 1 : 0); break;
      case ParamValue::Tag::Str: h = detail::hash_bytes(h, v.as_str()); break;
    }
  }
  return h;
}

// Only the fields of the node's kind take part, as in structural identity.
std::uint64_t hash_payload(std::uint64_t seed, const NodeRef& n) {
  std::uint64_t h = detail::combine(seed, static_cast<std::uint64_t>(n.kind) + 1);
  if (kind_has_name(n.kind)) h = detail::hash_bytes(h, n.name);
  // No map and the empty map are the same value and must hash alike.
  if (n.kind != NodeKind::Stage && n.params && !n.params->empty()) h = hash_params(h, *n.params);
  if (n.kind == NodeKind::External && n.descriptor) {
    const PayloadDescriptor& d = *n.descriptor;
    for (const std::string* s : {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema}) {
      h = detail::hash_bytes(h, *s);
    }
    h = detail::combine(h, d.preprocessing_ref.has_value());
    if (d.preprocessing_ref) h = detail::hash_bytes(h, *d.preprocessing_ref);
  }
  if (n.kind == NodeKind::Stage) {
    h = detail::combine(h, n.members.size());
    for (const StageMember& m : n.members) {
      h = detail::hash_bytes(h, m.token);
      h = detail::combine(h, m.refs.size());
      for (const StageRef& r : m.refs) h = detail::combine(h, (r.index << 1) | static_cast<std::uint64_t>(r.kind));
    }
  }
  return detail::mix64(h);
}

bool params_equal(const ParamMap* a, const ParamMap& b) {
  return a ? *a == b : b.empty();
}

bool payload_matches(const Payload& p, const NodeRef& n) {
  if (p.kind != n.kind) return false;
  switch (n.kind) {
    case NodeKind::Source:
    case NodeKind::Op:
    case NodeKind::Reduction: return detail::same_text(p.name, n.name) && params_equal(n.params, p.params);
    case NodeKind::External:
      return params_equal(n.params, p.params) && n.descriptor && *p.descriptor == *n.descriptor;
    case NodeKind::Stage:
      return std::equal(p.members.begin(), p.members.end(), n.members.begin(), n.members.end());
    case NodeKind::Exchange: return params_equal(n.params, p.params);
  }
  return false;
}

Payload make_payload(const NodeRef& n) {
  Payload p{n.kind, {}, {}, {}, {}};
  if (kind_has_name(n.kind)) p.name = n.name;
  if (n.kind != NodeKind::Stage && n.params) p.params = *n.params;
  if (n.kind == NodeKind::External) {
    expect(n.descriptor != nullptr, "external node carries a descriptor");
    p.descriptor = std::make_shared<const PayloadDescriptor>(*n.descriptor);
  }
  if (n.kind == NodeKind::Stage) p.members.assign(n.members.begin(), n.members.end());
  return p;
}

// Open-addressing tables with linear probing. Slots hold id + 1 (0 is empty)
// in the low 40 bits and the top 24 bits of the hash above them, so most
// probes are decided without touching the stored entries. The home slot is
// taken from the top bits of the hash too: while the table has at most 2^24
// slots the home slot follows from the stored bits alone, so growing walks
// the old table in order and writes the new one almost sequentially instead
// of recomputing every hash from scattered records.
class IdTable {
 public:
  static constexpr int kIdBits = 40;
  static constexpr int kTagBits = 64 - kIdBits;
  static constexpr std::uint64_t kIdMask = (std::uint64_t{1} << kIdBits) - 1;

  IdTable() = default;
  IdTable(const IdTable&) = delete;
  IdTable& operator=(const IdTable&) = delete;
  ~IdTable() { detail::big_free(slots_); }

  bool needs_growth(std::size_t count) const noexcept { return (count + 1) * 4 > cap_ * 3; }

  // Calls eq(id) for candidates whose hash slice matches; returns the id or -1.
  template <class Eq>
  std::int64_t find(std::uint64_t hash, Eq&& eq) const {
    if (cap_ == 0) return -1;
    const std::size_t mask = cap_ - 1;
    const std::uint64_t tag = hash >> kIdBits;
    for (std::size_t i = home(hash);; i = (i + 1) & mask) {
      std::uint64_t s = slots_[i];
      if (s == 0) return -1;
      if ((s >> kIdBits) == tag && eq((s & kIdMask) - 1)) return static_cast<std::int64_t>((s & kIdMask) - 1);
    }
  }

  void insert(std::uint64_t hash, std::uint64_t id) { place(home(hash), ((hash >> kIdBits) << kIdBits) | (id + 1)); }

  // Rebuilds at twice the size; hash_of(id) recomputes an entry's hash when
  // the stored bits do not determine the home slot.
  template <class HashOf>
  void grow(std::size_t count, HashOf&& hash_of) {
    std::size_t cap = std::max<std::size_t>(64, cap_ * 2);
    while ((count + 1) * 4 > cap * 3) cap *= 2;
    auto* fresh = static_cast<std::uint64_t*>(detail::big_alloc(cap * sizeof(std::uint64_t)));
    std::fill(fresh, fresh + cap, 0);
    std::uint64_t* old = slots_;
    const std::size_t old_cap = cap_;
    slots_ = fresh;
    cap_ = cap;
    bits_ = std::countr_zero(cap);
    if (bits_ <= kTagBits) {
      // Start after an empty slot so that entries displaced past the end of
      // the old table are re-placed after the ones they were displaced by.
      std::size_t start = 0;
      while (start < old_cap && old[start] != 0) ++start;
      for (std::size_t k = 0; k < old_cap; ++k) {
        std::uint64_t s = old[(start + k) & (old_cap - 1)];
        if (s != 0) place(static_cast<std::size_t>((s >> kIdBits) >> (kTagBits - bits_)), s);
      }
    } else {
      for (std::size_t id = 0; id < count; ++id) insert(hash_of(id), id);
    }
    detail::big_free(old);
  }

 private:
  std::size_t home(std::uint64_t hash) const noexcept { return static_cast<std::size_t>(hash >> (64 - bits_)); }
  void place(std::size_t i, std::uint64_t slot) noexcept {
    const std::size_t mask = cap_ - 1;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = slot;
  }

  std::uint64_t* slots_ = nullptr;
  std::size_t cap_ = 0;
  int bits_ = 0;
};

}  // namespace

// Makes sure one push_back cannot reallocate, growing geometrically.
template <class T>
void room_for_one(std::vector<T>& v) {
  if (v.size() == v.capacity()) v.reserve(std::max<std::size_t>(16, v.capacity() * 2));
}

// Writer-side state: only touched under the store's lock.
struct Store::Index {
  std::uint64_t seed;
  IdTable nodes;
  IdTable payloads;
  std::vector<std::uint64_t> payload_hashes;
  std::vector<const Payload*> payload_ptrs;  // by payload id; the payloads never move
  std::uint32_t last_payload = UINT32_MAX;   // payload of the previous intern, tried first
  std::vector<NodeId> marks;
  std::vector<bool> marked;
};

namespace {

// From the payload's (seeded) content hash, so that a repeat is found
// without looking the payload up first.
std::uint64_t hash_node(std::uint64_t payload_hash, std::span<const NodeId> inputs) {
  std::uint64_t h = payload_hash;
  h = detail::combine(h, inputs.size());
  for (NodeId id : inputs) h = detail::combine(h, id);
  return detail::mix64(h);
}

}  // namespace

Store::Store() : data_(std::make_shared<detail::StoreData>()), index_(std::make_unique<Index>()) {
  index_->seed = fresh_seed(this);
}

Store::~Store() = default;

Expected<NodeId, BadNodeId> Store::intern(const NodeRef& node) {
  std::span<const NodeId> inputs = node.kind == NodeKind::Source ? std::span<const NodeId>{} : node.inputs;
  const InternOutcome r = mutex_.locked([&] { return intern_locked(node, inputs); });
  if (r.bad) [[unlikely]] return unexpected(BadNodeId{r.id});
  return r.id;
}

// One probe of the node table decides a repeat; the payload table is only
// consulted for a node that is not recorded yet. Recording usually repeats
// the payload of the previous call ("add" after "add"), so that payload is
// tried first: a match spares hashing the payload and comparing it again
// for every candidate node.
Store::InternOutcome Store::intern_locked(const NodeRef& node, std::span<const NodeId> inputs) {
  detail::StoreData& d = *data_;
  Index& ix = *index_;
  const std::uint64_t count = d.nodes.size();
  for (NodeId id : inputs) {
    if (id >= count) return {id, true};
  }
  expect(inputs.size() <= UINT32_MAX, "node has fewer than 2^32 inputs");

  std::int64_t known = -1;
  std::uint64_t ph;
  if (ix.last_payload < ix.payload_ptrs.size() && payload_matches(*ix.payload_ptrs[ix.last_payload], node)) {
    known = ix.last_payload;
    ph = ix.payload_hashes[ix.last_payload];
  } else {
    ph = hash_payload(ix.seed, node);
  }
  const std::uint64_t nh = hash_node(ph, inputs);

  const std::size_t n_in = inputs.size();
  std::int64_t found = ix.nodes.find(nh, [&](std::uint64_t cand) {
    const NodeRec& r = d.nodes[cand];
    if (r.n_inputs != n_in) return false;
    const NodeId* stored = r.inputs();
    for (std::size_t k = 0; k < n_in; ++k) {
      if (stored[k] != inputs[k]) return false;
    }
    if (known >= 0) return r.payload == static_cast<std::uint32_t>(known);
    return ix.payload_hashes[r.payload] == ph && payload_matches(*ix.payload_ptrs[r.payload], node);
  });
  if (found >= 0) {
    ix.last_payload = d.nodes[static_cast<std::size_t>(found)].payload;
    return {static_cast<NodeId>(found), false};
  }

  std::int64_t pid = known >= 0 ? known : ix.payloads.find(ph, [&](std::uint64_t cand) {
    return ix.payload_hashes[cand] == ph && payload_matches(*ix.payload_ptrs[cand], node);
  });
  if (pid < 0) {
    expect(d.payloads.size() < UINT32_MAX, "store holds fewer than 2^32 distinct payloads");
    if (ix.payloads.needs_growth(d.payloads.size())) {
      ix.payloads.grow(d.payloads.size(), [&](std::size_t id) { return ix.payload_hashes[id]; });
    }
    // Room first, so that nothing can fail between storing the payload and
    // indexing it.
    room_for_one(ix.payload_hashes);
    room_for_one(ix.payload_ptrs);
    const Payload& stored = d.payloads.emplace_back(make_payload(node));
    pid = static_cast<std::int64_t>(d.payloads.size() - 1);
    ix.payload_hashes.push_back(ph);
    ix.payload_ptrs.push_back(&stored);
    ix.payloads.insert(ph, static_cast<std::uint64_t>(pid));
  }

  expect(count < IdTable::kIdMask - 1, "store holds fewer than 2^40 nodes");
  if (ix.nodes.needs_growth(count)) {
    ix.nodes.grow(count, [&](std::size_t id) {
      const NodeRec& r = d.nodes[id];
      return hash_node(ix.payload_hashes[r.payload], {r.inputs(), r.n_inputs});
    });
  }
  NodeRec rec{static_cast<std::uint32_t>(pid), static_cast<std::uint32_t>(n_in), {}};
  if (n_in <= 2) {
    rec.in.near[0] = n_in > 0 ? inputs[0] : 0;
    rec.in.near[1] = n_in > 1 ? inputs[1] : 0;
  } else {
    rec.in.far = d.arena.copy(inputs);
  }
  d.nodes.emplace_back(rec);
  ix.nodes.insert(nh, count);
  ix.last_payload = static_cast<std::uint32_t>(pid);
  return {count, false};
}

Expected<Ok, BadNodeId> Store::mark_output(NodeId id) {
  PoisonMutex::Guard guard(mutex_);
  Index& ix = *index_;
  if (id >= data_->nodes.size()) return unexpected(BadNodeId{id});
  if (ix.marked.size() <= id) ix.marked.resize(data_->nodes.size(), false);
  if (!ix.marked[id]) {
    ix.marks.push_back(id);
    ix.marked[id] = true;
  }
  return Ok{};
}

std::uint64_t Store::node_count() const {
  PoisonMutex::Guard guard(mutex_);
  return data_->nodes.size();
}

std::vector<NodeId> Store::outputs() const {
  PoisonMutex::Guard guard(mutex_);
  return index_->marks;
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
  PoisonMutex::Guard guard(mutex_);
  return make_snapshot_locked(0, true);
}

Snapshot Store::nodes_since(NodeId start) const {
  PoisonMutex::Guard guard(mutex_);
  return make_snapshot_locked(start, false);
}

Expected<Snapshot, BadNodeId> Store::snapshot_checked(std::span<const NodeId> ids) const {
  PoisonMutex::Guard guard(mutex_);
  const std::uint64_t count = data_->nodes.size();
  for (NodeId id : ids) {
    if (id >= count) return unexpected(BadNodeId{id});
  }
  return make_snapshot_locked(0, false);
}

}  // namespace tavrine
