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
#include "support/interrupt.h"
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

// CPU time of the calling thread in each phase of one reduction, for
// benchmarks.
struct PhaseTimes {
  std::chrono::nanoseconds snapshot{0};
  std::chrono::nanoseconds reach{0};    // reachability and compaction
  std::chrono::nanoseconds symbols{0};  // templates and symbol graph
  std::chrono::nanoseconds engine{0};
  std::chrono::nanoseconds dedup{0};
  std::chrono::nanoseconds fusion{0};   // fusion and interning into the result store
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
  NodeRef ref(NodeId id) const override { return snap_.node(id).ref(); }

 private:
  const Snapshot& snap_;
};

// Structural deduplication (the step after canonicalization): one node per
// (symbol, children) with children mapped to the kept nodes, the first
// occurrence kept, order preserved; roots mapped alike.
SymbolGraph dedup_structural(const SymbolGraph& graph, Interrupt* interrupt = nullptr);

// Stage fusion over a canonical symbol graph (its roots are the outputs).
// Nodes are handed to `sink` in order; their inputs are positions of
// earlier emitted nodes. A non-Op node is rebuilt from the node
// `templates[s]` of its symbol s (an id in the sequence being reduced) with
// new inputs; every group of ops becomes one Stage, handed over as its
// payload bytes (the encoding of its members). Before the first node, the
// sink is told how many will come.
class FusionSink {
 public:
  virtual ~FusionSink() = default;
  virtual void will_emit(std::size_t /*nodes*/) {}
  virtual void boundary(NodeId template_id, std::span<const NodeId> inputs) = 0;
  virtual void stage(std::span<const NodeId> inputs, std::string_view payload) = 0;
};
struct FusionResult {
  std::uint64_t nodes = 0;             // emitted
  std::vector<std::uint64_t> outputs;  // one position per root
  std::uint64_t stages = 0;
  std::uint64_t boundary_nodes = 0;
};
FusionResult fuse_stages(const SymbolGraph& canonical, std::span<const NodeId> templates, bool maximal_fusion,
                         FusionSink& sink, Interrupt* interrupt = nullptr);

struct ReductionResult {
  std::unique_ptr<Store> store;
  ReductionReport report;
  // One id of `store` per entry of the output list the reduction was given,
  // in that order, repeats kept: the node carrying that output's value. The
  // store's marks cannot say this on their own, since each carrying node is
  // marked once however many outputs it carries.
  std::vector<NodeId> output_ids;
};

// The core: removes the nodes no output depends on, canonicalizes the rest
// with `engine` (its `canonicalize` is called exactly once), deduplicates,
// fuses, and interns each reduced node into a new store as fusion emits it;
// the new store marks the reduced outputs in order, and `output_ids` says
// which node carries each output. Every output must be
// below nodes.size() (callers check; a violation is a Panic). Never fails on
// valid input.
//
// Stopping and failing: `interrupt` (optional) is asked every few thousand
// units of work in every phase; when it says stop the call throws
// Interrupted. A failed allocation throws std::bad_alloc. Either way the
// partial result is dropped and nothing the caller owns has changed.
ReductionResult reduce_to_store(const NodeSequence& nodes, std::span<const NodeId> outputs, RewriteEngine& engine,
                                bool maximal_fusion, PhaseTimes* times = nullptr, Interrupt* interrupt = nullptr);

// One reduction of a store, the way GraphStore.reduce runs it: with no
// `outputs`, the store's nodes and marks are taken together; with `outputs`,
// exactly those ids (checked in order against the node count, the first bad
// one is the error) under one holding of the store's lock. A fresh
// EGraphEngine does the canonicalization. The store is only read.
Expected<ReductionResult, BadNodeId> reduce_store(const Store& store,
                                                  std::optional<std::span<const NodeId>> outputs,
                                                  bool maximal_fusion, PhaseTimes* times = nullptr,
                                                  Interrupt* interrupt = nullptr);
// The same with a caller-supplied engine (tests, alternative engines).
Expected<ReductionResult, BadNodeId> reduce_store(const Store& store,
                                                  std::optional<std::span<const NodeId>> outputs,
                                                  bool maximal_fusion, RewriteEngine& engine,
                                                  PhaseTimes* times = nullptr, Interrupt* interrupt = nullptr);

}  // namespace tavrine::opt
