// EGraphEngine: equality saturation over the e-graph library, and the entry
// points that build one per reduction.
#include <chrono>
#include <string>

#include "egraph/egraph.h"
#include "optimizer/engine.h"
#include "optimizer/incremental.h"
#include "optimizer/reduce.h"
#include "optimizer/rules.h"
#include "support/panic.h"
#include "support/prefetch.h"

namespace tavrine::opt {

namespace {

// The operator numbering of one run: a text of the graph's symbol table is
// its number + 1; any other text (rule names, variables, rule operators the
// graph lacks) gets the next number after the table, which no node carries.
class RunSymbols final : public egraph::SymbolSource {
 public:
  explicit RunSymbols(const SymbolTable& table) : table_(table) {}
  egraph::Symbol symbol(std::string_view text) override {
    const std::uint32_t s = table_.find(text);
    if (s != SymbolTable::npos) return egraph::Symbol::from_value(s + 1);
    for (std::size_t k = 0; k < extra_.size(); ++k) {
      if (extra_[k] == text) return fresh(k);
    }
    extra_.emplace_back(text);
    return fresh(extra_.size() - 1);
  }

 private:
  egraph::Symbol fresh(std::size_t k) const {
    const std::uint64_t value = table_.size() + 1 + k;
    expect(value <= UINT32_MAX, "operator numbers fit in 32 bits");
    return egraph::Symbol::from_value(static_cast<std::uint32_t>(value));
  }
  const SymbolTable& table_;
  std::vector<std::string> extra_;
};

// The rules of the table, their operators numbered for one run.
std::vector<egraph::Rewrite> make_rules(egraph::SymbolSource& symbols) {
  std::vector<egraph::Rewrite> rules;
  rules.reserve(std::size(kRules));
  for (const RuleText& r : kRules) {
    auto searcher = egraph::Pattern::parse_or_panic(r.left, symbols);
    auto applier = egraph::Pattern::parse_or_panic(r.right, symbols);
    rules.push_back(egraph::Rewrite::make_or_panic(r.name, std::move(searcher), std::move(applier), symbols));
  }
  return rules;
}

}  // namespace

EGraphEngine::EGraphEngine() = default;
EGraphEngine::~EGraphEngine() = default;

namespace {

// Room for the e-nodes the run will add, so that no table regrows mid-run:
// only rules whose right-hand side is an e-node add any (the commute rules),
// at most the swapped form of each two-child node their left-hand side
// matches.
std::size_t swaps_at_most(const SymbolGraph& graph, const std::vector<egraph::Rewrite>& rules) {
  std::vector<std::uint8_t> commutes(graph.symbol_count(), 0);
  for (const egraph::Rewrite& r : rules) {
    const egraph::PatternElem& root = r.searcher().term().root();
    const egraph::PatternElem& applied = r.applier().term().root();
    if (!root.is_var() && !applied.is_var() && root.sym.value() <= commutes.size()) commutes[root.sym.value() - 1] = 1;
  }
  std::size_t swaps = 0;
  for (Pos i = 0; i < graph.size(); ++i) swaps += commutes[graph.symbol_index(i)] & (graph.children_of(i).size() == 2);
  return swaps;
}

// One e-node per graph node, its operator the symbol's number + 1; equal
// symbols over equal children share a class; ids[i] is node i's class. The
// whole graph goes in with one bulk add (the same as adding node by node,
// with the memory each add touches fetched ahead).
egraph::EGraph egraph_of(const SymbolGraph& graph, const std::vector<egraph::Rewrite>& rules,
                         BigVec<egraph::ClassId>& ids, Interrupt* interrupt) {
  const std::size_t swaps = swaps_at_most(graph, rules);
  egraph::Deadline only_interrupt;
  only_interrupt.interrupt = interrupt;
  egraph::EGraph g;
  g.reserve(graph.size() + swaps, graph.edge_count() + 2 * swaps);
  // The operators the rules search for are indexed as the graph goes in, not by a scan
  // of the e-graph when the run starts.
  std::vector<std::pair<egraph::Symbol, std::uint32_t>> searched;
  for (const egraph::Rewrite& r : rules) {
    const egraph::PatternElem& root = r.searcher().term().root();
    if (!root.is_var()) searched.emplace_back(root.sym, static_cast<std::uint32_t>(root.children.size()));
  }
  g.index_ops(searched);
  g.add_graph(graph.symbol_indices(), graph.child_offsets(), graph.all_children(), ids, &only_interrupt);
  return g;
}

const char* stop_text(egraph::StopKind kind) {
  switch (kind) {
    case egraph::StopKind::Saturated: return "Saturated";
    case egraph::StopKind::IterationLimit: return "IterationLimit";
    case egraph::StopKind::NodeLimit: return "NodeLimit";
    case egraph::StopKind::TimeLimit: return "TimeLimit";
  }
  return "";
}

// How the run went, but for the final e-graph's size.
EGraphEngine::RunInfo run_info(const egraph::Runner& runner, double add_seconds) {
  EGraphEngine::RunInfo info;
  if (const auto& why = runner.stop_reason()) info.stop = stop_text(why->kind);
  info.iterations = runner.iterations().size();
  info.add = add_seconds;
  for (const egraph::IterationRecord& it : runner.iterations()) {
    info.search += it.search_time;
    info.apply += it.apply_time;
    info.rebuild += it.rebuild_time;
    std::size_t applied = 0;
    for (const auto& [rule, merges] : it.applied) applied += merges;
    info.per_iteration.push_back(
        {it.search_time, it.apply_time, it.rebuild_time, it.egraph_nodes, it.egraph_classes, applied});
  }
  return info;
}

// The graph with one node per class, its representative: its smallest
// position. Class ids are dense, so plain arrays replace maps. Each
// position's output position is kept by position too, so that children,
// mostly recent positions, are looked up close by: in ids[], no longer
// needed, or, when every node became a class of its own (position i is class
// i, as for any graph of a store), in root[] itself, each entry read before
// it is overwritten.
SymbolGraph representatives(const SymbolGraph& graph, BigVec<egraph::ClassId> root, BigVec<egraph::ClassId> ids,
                            Interrupt* interrupt) {
  const std::size_t n = graph.size();
  InterruptCheck check(interrupt);
  const bool identity = root.size() >= n && (n == 0 || ids[n - 1] == n - 1);
  if (identity) BigVec<egraph::ClassId>().swap(ids);
  egraph::ClassId* const pos_of = identity ? root.data() : ids.data();
  auto class_of = [&](Pos i) { return root[identity ? i : ids[i]]; };
  BigVec<Pos> out_of_class(root.size(), UINT32_MAX);
  SymbolGraph out;
  out.share_symbols(graph);
  out.reserve(n, graph.edge_count());
  // A fifth or so of the children lie far back: their output positions are fetched
  // further ahead.
  constexpr Pos kAhead = 8, kFar = 24;
  visit_ascending(
      static_cast<Pos>(n),
      [&](Pos i) {
        check.tick();
        Pos& slot = out_of_class[class_of(i)];
        if (slot == UINT32_MAX) {
          out.begin_node(graph.symbol_index(i), graph.boundary(i));
          for (Pos c : graph.children_of(i)) out.push_child(pos_of[c]);
          out.end_node();
          slot = static_cast<Pos>(out.size() - 1);
        }
        pos_of[i] = slot;
      },
      FetchAhead{kAhead, [&](Pos j) { prefetch_read(&out_of_class[class_of(j)]); }},
      FetchAhead{kFar, [&](Pos j) {
                   for (Pos c : graph.children_of(j)) prefetch_read(&pos_of[c]);
                 }});
  out.roots.reserve(graph.roots.size());
  for (Pos r : graph.roots) {
    expect(r < n, "symbol graph root is a node");
    out.roots.push_back(pos_of[r]);
  }
  return out;
}

}  // namespace

SymbolGraph EGraphEngine::canonicalize(const SymbolGraph& graph, Interrupt* interrupt) {
  const std::size_t n = graph.size();
  expect(n < UINT32_MAX, "symbol graph holds fewer than 2^32 - 1 nodes");
  expect(graph.symbol_count() < UINT32_MAX - 64, "symbol graph holds fewer than 2^32 - 65 symbols");
  RunSymbols symbols(graph.symbols());
  const std::vector<egraph::Rewrite> rules = make_rules(symbols);
  const auto t0 = std::chrono::steady_clock::now();
  BigVec<egraph::ClassId> ids(n);
  egraph::EGraph g = egraph_of(graph, rules, ids, interrupt);
  const double add_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

  egraph::Runner runner;
  runner.with_egraph(std::move(g))
      .with_iter_limit(kIterLimit)
      .with_node_limit(4 * n + 1024)
      .with_interrupt(interrupt)
      .run(rules);
  last_run_ = run_info(runner, add_seconds);
  g = runner.take_egraph();
  last_run_.egraph_nodes = g.total_size();
  last_run_.classes = g.number_of_classes();
  // Two representatives with one symbol and equal children would be
  // congruent, hence one class, unless the run stopped inside a rebuild.
  const bool distinct = g.is_clean();
  SymbolGraph out = representatives(graph, std::move(g).take_roots(), std::move(ids), interrupt);
  out.distinct_nodes = distinct;
  return out;
}

Expected<ReductionResult, BadNodeId> reduce_store(const Store& store,
                                                  std::optional<std::span<const NodeId>> outputs,
                                                  bool maximal_fusion, PhaseTimes* times,
                                                  Interrupt* interrupt) {
  EGraphEngine engine;
  return reduce_store(store, outputs, maximal_fusion, engine, times, interrupt);
}

Expected<ReductionResult, ReducerError> IncrementalReducer::finalize(const Store& store,
                                                                     std::optional<std::span<const NodeId>> outputs,
                                                                     bool maximal_fusion, Interrupt* interrupt) {
  EGraphEngine engine;
  return finalize(store, outputs, maximal_fusion, engine, interrupt);
}

}  // namespace tavrine::opt
