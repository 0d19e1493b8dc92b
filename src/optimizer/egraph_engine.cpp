// EGraphEngine: equality saturation over the e-graph library, and the entry
// points that build one per reduction.
#include <string>

#include "egraph/egraph.h"
#include "optimizer/engine.h"
#include "optimizer/incremental.h"
#include "optimizer/reduce.h"
#include "support/panic.h"

namespace tavrine::opt {

struct EGraphEngine::Rules {
  std::vector<egraph::Rewrite> list;
};

namespace {

// The e-graph library's fatal errors reach callers as Panic with their text.
template <class F>
auto engine_call(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const egraph::Fatal& e) {
    throw Panic(e.what());
  }
}

}  // namespace

EGraphEngine::EGraphEngine() : rules_(std::make_unique<Rules>()) {
  engine_call([&] {
    rules_->list.reserve(12);
    for (std::string_view word : kCommutativeOps) {
      const std::string w(word);
      rules_->list.push_back(egraph::Rewrite::make_or_fatal(
          "commute-" + w, egraph::Pattern::parse_or_fatal("(op|" + w + " ?a ?b)"),
          egraph::Pattern::parse_or_fatal("(op|" + w + " ?b ?a)")));
    }
    int k = 0;
    for (std::string_view key : kIdentitySymbols) {
      rules_->list.push_back(egraph::Rewrite::make_or_fatal(
          "identity-" + std::to_string(k), egraph::Pattern::parse_or_fatal("(" + std::string(key) + " ?x)"),
          egraph::Pattern::parse_or_fatal("?x")));
      ++k;
    }
    return 0;
  });
}

EGraphEngine::~EGraphEngine() = default;

SymbolGraph EGraphEngine::canonicalize(const SymbolGraph& graph) {
  return engine_call([&] {
    const std::size_t n = graph.size();
    expect(n < UINT32_MAX, "symbol graph holds fewer than 2^32 - 1 nodes");

    // One interned operator per distinct symbol text, then one e-node per
    // graph node; equal symbols over equal children share a class.
    std::vector<egraph::Symbol> ops;
    ops.reserve(graph.symbol_count());
    for (const std::string& text : graph.symbol_texts()) ops.push_back(egraph::Symbol::intern(text));
    // The whole graph goes in with one bulk add (the same as adding node by
    // node, with the memory each add touches fetched ahead).
    std::vector<egraph::Symbol> node_ops(n);
    for (Pos i = 0; i < n; ++i) node_ops[i] = ops[graph.symbol_index(i)];
    egraph::EGraph g;
    g.reserve(n, graph.edge_count());
    std::vector<egraph::ClassId> ids(n);
    g.add_graph(node_ops, graph.child_offsets(), graph.all_children(), ids);

    egraph::Runner runner;
    runner.with_egraph(std::move(g)).with_iter_limit(kIterLimit).with_node_limit(4 * n + 1024).run(rules_->list);
    last_run_ = RunInfo{};
    if (const auto& why = runner.stop_reason()) {
      switch (why->kind) {
        case egraph::StopKind::Saturated: last_run_.stop = "Saturated"; break;
        case egraph::StopKind::IterationLimit: last_run_.stop = "IterationLimit"; break;
        case egraph::StopKind::NodeLimit: last_run_.stop = "NodeLimit"; break;
        case egraph::StopKind::TimeLimit: last_run_.stop = "TimeLimit"; break;
        case egraph::StopKind::Other: last_run_.stop = "Other"; break;
      }
    }
    last_run_.iterations = runner.iterations().size();
    g = runner.take_egraph();
    last_run_.egraph_nodes = g.total_size();
    last_run_.classes = g.number_of_classes();

    // Representative of a class: its smallest position. Class ids are dense,
    // so plain arrays replace maps.
    std::vector<Pos> out_of_class(g.number_of_ids(), UINT32_MAX);
    SymbolGraph out;
    out.share_symbols(graph);
    out.reserve(n, graph.edge_count());
    for (Pos i = 0; i < n; ++i) {
      ids[i] = g.find(ids[i]);
      Pos& slot = out_of_class[ids[i]];
      if (slot != UINT32_MAX) continue;
      out.begin_node(graph.symbol_index(i), graph.boundary(i));
      for (Pos c : graph.children_of(i)) out.push_child(out_of_class[ids[c]]);
      out.end_node();
      slot = static_cast<Pos>(out.size() - 1);
    }
    out.roots.reserve(graph.roots.size());
    for (Pos r : graph.roots) {
      expect(r < n, "symbol graph root is a node");
      out.roots.push_back(out_of_class[ids[r]]);
    }
    return out;
  });
}

Expected<ReductionResult, BadNodeId> reduce_store(const Store& store,
                                                  std::optional<std::span<const NodeId>> outputs,
                                                  bool maximal_fusion, PhaseTimes* times) {
  EGraphEngine engine;
  return reduce_store(store, outputs, maximal_fusion, engine, times);
}

Expected<ReductionResult, ReducerError> IncrementalReducer::finalize(const Store& store,
                                                                     std::optional<std::span<const NodeId>> outputs,
                                                                     bool maximal_fusion, Interrupt* interrupt) {
  EGraphEngine engine;
  return finalize(store, outputs, maximal_fusion, engine, interrupt);
}

}  // namespace tavrine::opt
