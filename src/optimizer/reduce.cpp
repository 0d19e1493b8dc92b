#include "optimizer/reduce.h"

#include <algorithm>
#include <ctime>

#include "store/ahead.h"
#include "support/big_alloc.h"
#include "support/node_index.h"
#include "support/hash.h"
#include "support/panic.h"
#include "support/prefetch.h"

namespace tavrine::opt {

namespace {

// Adds the calling thread's CPU time since the last lap to one phase field,
// when timing.
class Lap {
 public:
  explicit Lap(PhaseTimes* t) : t_(t), last_(t ? now() : std::chrono::nanoseconds{0}) {}
  void operator()(std::chrono::nanoseconds PhaseTimes::* field) {
    if (!t_) return;
    const auto n = now();
    t_->*field += n - last_;
    last_ = n;
  }

 private:
  static std::chrono::nanoseconds now() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
  }
  PhaseTimes* t_;
  std::chrono::nanoseconds last_;
};

constexpr Pos kNoPos = UINT32_MAX;
// From this many nodes on, per-node tables outgrow the caches and random reads
// into them are fetched ahead.
constexpr std::size_t kLargeGraph = std::size_t{1} << 18;

// Structural deduplication: one node per (symbol, children) after mapping the
// children through the positions already assigned. First occurrence wins.
}  // namespace

SymbolGraph dedup_structural(const SymbolGraph& in, Interrupt* interrupt) {
  const std::size_t n = in.size();
  SymbolGraph out;
  out.share_symbols(in);
  out.reserve(n, in.edge_count());
  BigVec<Pos> to_out(n);
  NodeIndex index;
  const std::uint64_t seed = process_seed();
  auto key_hash = [&](std::uint32_t sym, std::span<const Pos> ch) {
    return NodeIndex::hash(detail::combine(seed, sym), ch);
  };
  auto hash_of = [&](std::uint32_t p) { return key_hash(out.symbol_index(p), out.children_of(p)); };
  index.reserve(n);
  InterruptCheck check(interrupt);
  std::vector<Pos> kids;
  for (Pos i = 0; i < n; ++i) {
    check.tick();
    const std::uint32_t sym = in.symbol_index(i);
    kids.clear();
    for (Pos c : in.children_of(i)) kids.push_back(to_out[c]);
    const std::uint64_t h = key_hash(sym, kids);
    NodeIndex::Probe probe = index.probe(h, std::span<const Pos>(kids), [&](Pos cand) {
      if (out.symbol_index(cand) != sym) return false;
      auto ch = out.children_of(cand);
      return std::equal(ch.begin(), ch.end(), kids.begin(), kids.end());
    });
    Pos found = probe.id;
    if (found == NodeIndex::kNone) {
      index.prepare_insert(probe, hash_of);
      found = static_cast<Pos>(out.size());
      out.add_node(sym, kids, in.boundary(i));
      index.insert_prepared(probe, h, found);
    }
    to_out[i] = found;
  }
  out.roots.reserve(in.roots.size());
  for (Pos r : in.roots) out.roots.push_back(to_out[r]);
  return out;
}

std::array<ReportEntry, 6> report_entries(const ReductionReport& r) {
  return {{{"input_nodes", r.input_nodes},
           {"reachable_nodes", r.reachable_nodes},
           {"canonical_nodes", r.canonical_nodes},
           {"stages", r.stages},
           {"reduced_nodes", r.reduced_nodes},
           {"boundary_nodes", r.boundary_nodes}}};
}

SnapshotSequence::SnapshotSequence(const Snapshot& s) : snap_(s) {
  expect(s.begin_id() == 0, "reduced node sequence starts at id 0");
}

namespace {

// Steps 1 to 6: the deduplicated canonical form, with the template of each
// symbol and the counts known so far.
struct CanonicalForm {
  SymbolGraph graph;
  std::vector<NodeId> templates;  // symbol index -> node of the sequence
  ReductionReport report;
};

// Which nodes the outputs depend on, with their number and their inputs'
// number. Inputs precede their node, so one sweep from the last node down
// marks exactly what a search from the outputs would reach, with sequential
// reads and no stack, however deep the graph.
struct Reachable {
  BigVec<std::uint8_t> visited;
  std::size_t count = 0, edges = 0;
};

Reachable reachable_nodes(const NodeSequence& nodes, std::span<const NodeId> outputs, InterruptCheck& check) {
  const std::size_t n = nodes.size();
  Reachable r{BigVec<std::uint8_t>(n, 0)};
  std::uint8_t* const visited = r.visited.data();
  for (NodeId o : outputs) {
    expect(o < n, "output ids name nodes of the sequence");
    visited[o] = 1;
  }
  // Counted in locals: a byte store may alias any object, so counters in
  // the struct would be stored and reloaded around every mark.
  std::size_t count = 0, edges = 0;
  for (std::size_t id = n; id-- > 0;) {
    check.tick();
    if (!visited[id]) continue;
    const std::span<const NodeId> inputs = nodes.shape(id).inputs;
    for (NodeId in : inputs) {
      expect(in < id, "inputs precede their node");
      visited[in] = 1;
    }
    ++count;
    edges += inputs.size();
  }
  expect(edges < kNoPos, "reduced graph holds fewer than 2^32 - 1 edges");
  r.count = count;
  r.edges = edges;
  return r;
}

// Compaction, templates and symbol graph, in one ascending pass: reachable
// nodes keep their order under dense positions, and an input, being earlier,
// has its position by the time its node is reached. A symbol text is a
// function of the payload, so it is built once per payload; its first node is
// its template.
SymbolGraph symbol_graph_of(const NodeSequence& nodes, std::span<const NodeId> outputs, const Reachable& reach,
                            std::vector<NodeId>& templates, InterruptCheck& check) {
  const std::size_t n = nodes.size();
  SymbolGraph graph;
  BigVec<Pos> remap(n);
  std::vector<std::uint32_t> symbol_of_payload(nodes.payload_bound(), kNoPos);
  std::string text;
  graph.reserve_exact(static_cast<Pos>(reach.count), reach.edges);
  // Inputs far back are fetched this many nodes early, when the remapping table is too
  // large to stay in cache.
  constexpr std::size_t kAhead = 16;
  const std::size_t fetch_below = n >= kLargeGraph ? n : 0;
  const std::uint8_t* const visited = reach.visited.data();
  Pos next = 0;
  visit_ascending(
      n,
      [&](std::size_t i) {
        check.tick();
        if (!visited[i]) return;
        remap[i] = next++;
        const NodeShape v = nodes.shape(i);
        expect(v.payload < symbol_of_payload.size(), "payload ids are below the bound");
        std::uint32_t& sym = symbol_of_payload[v.payload];
        if (sym == kNoPos) {
          text.clear();
          nodes.append_symbol(i, text);
          const auto [sy, added] = graph.intern_symbol(text);
          if (added) templates.push_back(i);
          sym = sy;
        }
        graph.begin_node(sym, v.kind != NodeKind::Op);
        for (NodeId in : v.inputs) graph.push_child(remap[in]);
        graph.end_node();
      },
      FetchAhead{kAhead, [&](std::size_t j) {
                   if (j < fetch_below && visited[j]) {
                     for (NodeId in : nodes.shape(j).inputs) prefetch_read(&remap[in]);
                   }
                 }});
  graph.roots.reserve(outputs.size());
  for (NodeId o : outputs) graph.roots.push_back(remap[o]);
  return graph;
}

// Steps 1 to 6: reachability, the symbol graph, canonicalization by the
// engine and structural deduplication.
CanonicalForm canonical_form(const NodeSequence& nodes, std::span<const NodeId> outputs, RewriteEngine& engine,
                             Lap& lap, Interrupt* interrupt) {
  const std::size_t n = nodes.size();
  expect(n < kNoPos, "reduced graph holds fewer than 2^32 - 1 nodes");
  InterruptCheck check(interrupt);
  CanonicalForm out;
  Reachable reach = reachable_nodes(nodes, outputs, check);
  lap(&PhaseTimes::reach);
  SymbolGraph graph = symbol_graph_of(nodes, outputs, reach, out.templates, check);
  const Pos reachable = static_cast<Pos>(reach.count);
  reach = Reachable{};
  lap(&PhaseTimes::symbols);

  SymbolGraph canon = engine.canonicalize(graph, interrupt);
  canon.check_well_formed();
  expect(canon.roots.size() == graph.roots.size(), "engine keeps one root per output");
  expect(canon.symbol_count() == graph.symbol_count(), "engine keeps the symbol table");
  graph = SymbolGraph();
  lap(&PhaseTimes::engine);

  out.graph = canon.distinct_nodes ? std::move(canon) : dedup_structural(canon, interrupt);
  lap(&PhaseTimes::dedup);

  out.report.input_nodes = n;
  out.report.reachable_nodes = reachable;
  out.report.canonical_nodes = out.graph.size();
  return out;
}

// Interns each emitted node into the result store, mapping its inputs from
// emitted positions to the ids the store gave them.
class StoreSink final : public FusionSink {
 public:
  // The result store is new and nobody else can see it yet: the sink holds
  // its lock once, for all the nodes.
  StoreSink(const NodeSequence& nodes, Store& store, Interrupt* interrupt)
      : nodes_(nodes), batch_(store), check_(interrupt), interner_(batch_, 0) {}
  // Room for every node and for as many payloads (the most there can be),
  // so that neither table regrows while fusion feeds them. Past a million
  // nodes or so the store's tables leave the cache, and each node is looked
  // up a few nodes before it is interned; below that, copying the nodes
  // ahead costs more than the fetch spares.
  void will_emit(std::size_t nodes) override {
    batch_.reserve(nodes);
    batch_.reserve_payloads(nodes);
    if (nodes >= kLookAheadFrom) interner_.look_ahead_by(AheadInterner::kMaxDistance);
  }
  void boundary(NodeId template_id, std::span<const NodeId> inputs) override {
    // The template's payload lives in the input store, which outlives the sink.
    add(nodes_.ref(template_id).payload, inputs);
  }
  void stage(std::span<const NodeId> inputs, std::string_view payload) override {
    if (interner_.distance() == 0) {
      add(PayloadKey{NodeKind::Stage, payload, false}, inputs);
      return;
    }
    // Fusion reuses the bytes of a stage's payload for the next one.
    AheadInterner::Entry& e = interner_.next();
    e.bytes.assign(payload);
    add(PayloadKey{NodeKind::Stage, e.bytes, false}, inputs);
  }
  // Marks the node at `pos` and returns its id in the new store.
  NodeId mark(std::uint64_t pos) {
    expect(interner_.finish().has_value(), "reduced graph references only earlier nodes");
    expect(pos < interner_.interned(), "reduced output is valid");
    const NodeId id = interner_.id_of(pos);
    expect(batch_.mark_output(id).has_value(), "reduced output is valid");
    return id;
  }

 private:
  static constexpr std::size_t kLookAheadFrom = std::size_t{1} << 20;

  // Emitted nodes are distinct, so the new store gives them the ids 0, 1, 2,
  // ...; the interner maps positions to ids should one ever repeat.
  void add(const PayloadKey& payload, std::span<const NodeId> inputs) {
    check_.tick();
    const std::uint64_t pos = interner_.pushed();
    for (NodeId in : inputs) expect(in < pos, "reduced graph references only earlier nodes");
    if (interner_.distance() == 0) {
      expect(interner_.push_now(payload, inputs).has_value(), "reduced graph references only earlier nodes");
      return;
    }
    interner_.next().inputs.assign(inputs.begin(), inputs.end());
    expect(interner_.push(payload).has_value(), "reduced graph references only earlier nodes");
  }

  const NodeSequence& nodes_;
  Store::Batch batch_;
  InterruptCheck check_;
  AheadInterner interner_;
};

}  // namespace

ReductionResult reduce_to_store(const NodeSequence& nodes, std::span<const NodeId> outputs, RewriteEngine& engine,
                                bool maximal_fusion, PhaseTimes* times, Interrupt* interrupt) {
  // The phases build large tables one after another: each reuses the pages the
  // tables of earlier phases gave back.
  BlockReuse reuse;
  Lap lap(times);
  CanonicalForm canon = canonical_form(nodes, outputs, engine, lap, interrupt);
  // The engine's tables are far larger than what fusion and the result store
  // build (about 55 bytes per canonical node on the benchmark mix): what is
  // kept beyond that would only stay resident through the rest of the call.
  // The margin is for blocks that do not fit the kept ranges exactly; with
  // less, fusion faults in fresh pages while kept ones lie idle.
  constexpr std::size_t kFusionBytesPerNode = 96;
  reuse.keep_at_most(canon.graph.size() * kFusionBytesPerNode);
  ReductionResult result{std::make_unique<Store>(), canon.report, {}};
  StoreSink sink(nodes, *result.store, interrupt);
  FusionResult fused = fuse_stages(canon.graph, canon.templates, maximal_fusion, sink, interrupt);
  result.output_ids.reserve(fused.outputs.size());
  for (std::uint64_t pos : fused.outputs) result.output_ids.push_back(sink.mark(pos));
  lap(&PhaseTimes::fusion);
  result.report.stages = fused.stages;
  result.report.boundary_nodes = fused.boundary_nodes;
  result.report.reduced_nodes = fused.nodes;
  return result;
}

Expected<ReductionResult, BadNodeId> reduce_store(const Store& store,
                                                  std::optional<std::span<const NodeId>> outputs,
                                                  bool maximal_fusion, RewriteEngine& engine,
                                                  PhaseTimes* times, Interrupt* interrupt) {
  Lap lap(times);
  Snapshot snap;
  std::vector<NodeId> outs;
  if (!outputs) {
    snap = store.snapshot();
    outs = snap.marks();
  } else {
    auto checked = store.snapshot_checked(*outputs);
    if (!checked) return unexpected(checked.error());
    snap = std::move(*checked);
    outs.assign(outputs->begin(), outputs->end());
  }
  lap(&PhaseTimes::snapshot);
  return reduce_to_store(SnapshotSequence(snap), outs, engine, maximal_fusion, times, interrupt);
}

}  // namespace tavrine::opt
