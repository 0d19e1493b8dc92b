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
#include <string>
#include <vector>

#include "optimizer/engine.h"
#include "support/expected.h"
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
  std::chrono::nanoseconds store{0};  // interning into the result store
};

// A node sequence the pipeline can reduce, ids 0 .. size()-1, every input
// below its node's id: a store snapshot, or the incremental reducer's
// canonical form.
struct NodeShape {
  std::uint32_t payload;  // equal exactly when the non-input parts are equal
  NodeKind kind;
  std::span<const NodeId> inputs;
};
class NodeSequence {
 public:
  virtual ~NodeSequence() = default;
  virtual std::size_t size() const = 0;
  // Every payload id is below this bound.
  virtual std::uint32_t payload_bound() const = 0;
  virtual NodeShape shape(NodeId id) const = 0;
  virtual void append_symbol(NodeId id, std::string& out) const = 0;
  // An owned copy of the node, inputs included.
  virtual Node node(NodeId id) const = 0;
  // The node borrowed, valid while the sequence lives.
  virtual NodeRef ref(NodeId id) const = 0;
};

// The nodes of a snapshot that starts at id 0.
class SnapshotSequence final : public NodeSequence {
 public:
  explicit SnapshotSequence(const Snapshot& s);
  std::size_t size() const override { return snap_.size(); }
  std::uint32_t payload_bound() const override { return snap_.payload_count(); }
  NodeShape shape(NodeId id) const override {
    const NodeView v = snap_.node(id);
    return NodeShape{v.payload_id(), v.kind(), v.inputs()};
  }
  void append_symbol(NodeId id, std::string& out) const override { append_node_symbol(out, snap_.node(id)); }
  Node node(NodeId id) const override { return snap_.node(id).to_node(); }
  NodeRef ref(NodeId id) const override { return snap_.node(id).ref(); }

 private:
  const Snapshot& snap_;
};

// The core. Every output must be below nodes.size() (callers check; a
// violation is a Panic). The engine's `canonicalize` is called exactly once.
// Never fails on valid input.
ReducedGraph reduce_graph(const NodeSequence& nodes, std::span<const NodeId> outputs, RewriteEngine& engine,
                          bool maximal_fusion, PhaseTimes* times = nullptr);
// The same over a snapshot, which must start at id 0.
ReducedGraph reduce_graph(const Snapshot& nodes, std::span<const NodeId> outputs, RewriteEngine& engine,
                          bool maximal_fusion, PhaseTimes* times = nullptr);

// Structural deduplication (the step after canonicalization): one node per
// (symbol, children) with children mapped to the kept nodes, the first
// occurrence kept, order preserved; roots mapped alike.
SymbolGraph dedup_structural(const SymbolGraph& graph);

// Stage fusion over a canonical symbol graph (its roots are the outputs).
// Nodes are handed to `sink` in order; their inputs are positions of
// earlier emitted nodes. A non-Op node is rebuilt from the node
// `templates[s]` of its symbol s (an id in the sequence being reduced) with
// new inputs; every group of ops becomes one Stage.
class FusionSink {
 public:
  virtual ~FusionSink() = default;
  virtual void boundary(NodeId template_id, std::span<const NodeId> inputs) = 0;
  virtual void stage(std::span<const NodeId> inputs, std::span<const StageMember> members) = 0;
};
struct FusionResult {
  std::uint64_t nodes = 0;             // emitted
  std::vector<std::uint64_t> outputs;  // one position per root
  std::uint64_t stages = 0;
  std::uint64_t boundary_nodes = 0;
};
FusionResult fuse_stages(const SymbolGraph& canonical, std::span<const NodeId> templates, bool maximal_fusion,
                         FusionSink& sink);

struct ReductionResult {
  std::unique_ptr<Store> store;
  ReductionReport report;
};

// A new store holding the reduced nodes, its outputs marked in order.
ReductionResult build_reduced_store(const ReducedGraph& reduced);

// reduce_graph followed by build_reduced_store, without materializing the
// reduced nodes: fusion interns each node into the new store as it is
// emitted. The result is the same store and report.
ReductionResult reduce_to_store(const NodeSequence& nodes, std::span<const NodeId> outputs, RewriteEngine& engine,
                                bool maximal_fusion, PhaseTimes* times = nullptr);

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
