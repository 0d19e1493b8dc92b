#pragma once
// The reduction pipeline: dead-node removal, symbol graph, canonicalization by
// a rewrite engine, structural deduplication, stage fusion, and the result
// store with its six-count report.
//
// Everything here is a pure function of its inputs: the node sequence, the
// output list and the fusion switch decide the reduced graph, its ids and
// its marks (no hash value or table order reaches a result). The pipeline
// holds no lock while it runs; the store being reduced is only read through a
// snapshot.
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "optimizer/engine.h"
#include "store/expected.h"
#include "store/node.h"
#include "store/store.h"

namespace tavrine::opt {

struct ReductionReport {
  std::uint64_t input_nodes = 0;      // nodes handed to the pipeline, dead ones included
  std::uint64_t reachable_nodes = 0;  // nodes the outputs depend on (outputs included)
  std::uint64_t canonical_nodes = 0;  // after the engine and structural deduplication
  std::uint64_t stages = 0;           // Stage nodes created by fusion
  std::uint64_t reduced_nodes = 0;    // stages + boundary_nodes
  std::uint64_t boundary_nodes = 0;   // non-Op nodes copied into the result
  friend bool operator==(const ReductionReport&, const ReductionReport&) = default;
};

// The report's names and values in field order, for building the Python dict.
struct ReportEntry {
  const char* name;
  std::uint64_t value;
};
std::array<ReportEntry, 6> report_entries(const ReductionReport& r);

// Reduced node sequence (inputs are earlier positions), one output position
// per requested output (same order, repeats kept), and the report.
struct ReducedGraph {
  std::vector<Node> nodes;
  std::vector<std::uint64_t> outputs;
  ReductionReport report;
};

// Wall-clock time of each phase of one reduction, for benchmarks.
struct PhaseTimes {
  std::chrono::nanoseconds snapshot{0};
  std::chrono::nanoseconds reach{0};    // reachability and compaction
  std::chrono::nanoseconds symbols{0};  // templates and symbol graph
  std::chrono::nanoseconds engine{0};
  std::chrono::nanoseconds dedup{0};
  std::chrono::nanoseconds fusion{0};
  std::chrono::nanoseconds store{0};  // building the result store
};

// The core. `nodes` must start at id 0; every output must be below its end
// (callers check; a violation is a Panic). The engine's `canonicalize` is
// called exactly once. Never fails on valid input.
ReducedGraph reduce_graph(const Snapshot& nodes, std::span<const NodeId> outputs, RewriteEngine& engine,
                          bool maximal_fusion, PhaseTimes* times = nullptr);

// Stage fusion over a canonical symbol graph (its roots are the outputs).
// `templates[s]` is a full node for symbol index s, used to rebuild every
// non-Op node; only needed for boundary symbols.
struct FusedGraph {
  std::vector<Node> nodes;
  std::vector<std::uint64_t> outputs;
  std::uint64_t stages = 0;
  std::uint64_t boundary_nodes = 0;
};
FusedGraph fuse_stages(const SymbolGraph& canonical, std::span<const NodeView> templates, bool maximal_fusion);

struct ReductionResult {
  std::unique_ptr<Store> store;
  ReductionReport report;
};

// A new store holding the reduced nodes, its outputs marked in order.
ReductionResult build_reduced_store(const ReducedGraph& reduced);

// One reduction of a store, the way GraphStore.reduce runs it: with no
// `outputs`, the store's nodes and marks are taken together; with `outputs`,
// exactly those ids (checked in order against the node count, the first bad
// one is the error) under one holding of the store's lock. A fresh
// EGraphEngine does the canonicalization.
Expected<ReductionResult, BadNodeId> reduce_store(const Store& store,
                                                  std::optional<std::span<const NodeId>> outputs,
                                                  bool maximal_fusion, PhaseTimes* times = nullptr);
// The same with a caller-supplied engine (tests, alternative engines).
Expected<ReductionResult, BadNodeId> reduce_store(const Store& store,
                                                  std::optional<std::span<const NodeId>> outputs,
                                                  bool maximal_fusion, RewriteEngine& engine,
                                                  PhaseTimes* times = nullptr);

}  // namespace tavrine::opt
