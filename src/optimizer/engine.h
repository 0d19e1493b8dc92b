#pragma once
// Symbol texts of nodes, the symbol graph handed to a rewrite engine, and the
// engines that decide which nodes compute the same value.
//
// A symbol text stands for everything of a node except its inputs:
//   Source    "src|"   escaped name [ "|" params ]
//   Op        "op|"    escaped name [ "|" params ]
//   Reduction "red|"   escaped name [ "|" params ]
//   External  "ext|" kind "|" content_hash "|" framework "|" version "|"
//             io_schema "|" preprocessing_ref [ "|" params ]
//             every field escaped; an absent preprocessing_ref is a lone
//             "%", which escaping never produces
//   Stage     "stage|" member count, then per member "|" escaped token "="
//             its references joined by ";" (i<k> input k, m<k> member k)
//   Exchange  "exch" [ "|" params ]
// where params is the canonical parameter text, present only for a non-empty
// map. Escaped texts never hold "|", ";" or "=", so two nodes share a symbol
// exactly when they agree on everything but their inputs: merging by symbol
// can never merge different computations. Only Op symbols begin with "op|".
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/node.h"
#include "store/store.h"
#include "support/big_alloc.h"
#include "support/hash.h"
#include "support/interner.h"
#include "support/interrupt.h"
#include "support/panic.h"

namespace tavrine::opt {

// A position in a SymbolGraph (and in the compact node sequences built from
// it). Graphs are limited to fewer than 2^32 - 1 nodes.
using Pos = std::uint32_t;

std::string node_symbol(const NodeView& node);
void append_node_symbol(std::string& out, const NodeView& node);
// The symbol of a node given by its payload.
void append_payload_symbol(std::string& out, const PayloadView& payload);

// The distinct symbol texts of a graph, numbered densely from 0 in order of
// first arrival. The numbering belongs to the graph (and to the graphs derived
// from it), never to the process: it is also the e-graph's operator numbering
// for one run, so nothing a reduction sees outlives it.
class SymbolTable {
 public:
  static constexpr std::uint32_t npos = UINT32_MAX;

  SymbolTable() = default;
  SymbolTable(const SymbolTable&) = delete;
  SymbolTable& operator=(const SymbolTable&) = delete;

  std::size_t size() const noexcept { return texts_.size(); }
  std::string_view text(std::uint32_t s) const noexcept { return texts_[s]; }
  // The number of `text`, and whether it was added now.
  std::pair<std::uint32_t, bool> intern(std::string_view text);
  // The number of `text`, or npos.
  std::uint32_t find(std::string_view text) const;

 private:
  std::uint64_t hash(std::string_view text) const noexcept;
  Interner<std::string> texts_;
  std::uint64_t seed_ = process_seed();
};

// A graph of symbol texts: per node its symbol (a number in the graph's
// symbol table), its children (positions of earlier nodes, in argument order)
// and whether it is a boundary node (not an Op); plus the roots, one per
// output, repeats allowed. Children are stored contiguously.
struct SymbolNode {
  std::string_view symbol;
  std::uint32_t symbol_index;
  std::span<const Pos> children;
  bool boundary;
};

class SymbolGraph {
 public:
  std::vector<Pos> roots;
  // Set by an engine whose result has no two nodes with the same symbol and
  // children (an e-graph is closed under congruence once rebuilt): the
  // structural deduplication after it has nothing to do and is skipped.
  bool distinct_nodes = false;

  // ---- symbol table (shared between a graph and the graphs derived from
  // it; symbols are added only to a graph that does not share its table)
  const SymbolTable& symbols() const noexcept { return *symbols_; }
  std::size_t symbol_count() const noexcept { return symbols_->size(); }
  std::string_view symbol_text(std::uint32_t s) const noexcept { return symbols_->text(s); }
  // The number of `text` in the table, and whether it was added now.
  std::pair<std::uint32_t, bool> intern_symbol(std::string_view text) {
    expect(symbols_.use_count() == 1, "symbols are added to an unshared table");
    return symbols_->intern(text);
  }
  // Makes this graph use `other`'s symbol table (numbers keep their meaning).
  void share_symbols(const SymbolGraph& other) { symbols_ = other.symbols_; }

  // ---- nodes
  std::size_t size() const noexcept { return symbol_of_.size(); }
  SymbolNode node(Pos i) const noexcept {
    const std::uint32_t s = symbol_of_[i];
    return SymbolNode{symbols_->text(s), s, children_of(i), boundary_[i] != 0};
  }
  std::uint32_t symbol_index(Pos i) const noexcept { return symbol_of_[i]; }
  std::span<const std::uint32_t> symbol_indices() const noexcept { return symbol_of_; }
  std::span<const Pos> children_of(Pos i) const noexcept {
    return {children_.data() + child_begin_[i], children_.data() + child_begin_[i + 1]};
  }
  bool boundary(Pos i) const noexcept { return boundary_[i] != 0; }
  std::size_t edge_count() const noexcept { return children_.size(); }
  // All children in node order, and size() + 1 offsets into them: node i's
  // children are all_children()[child_offsets()[i] .. child_offsets()[i + 1]).
  std::span<const Pos> all_children() const noexcept { return children_; }
  std::span<const std::uint32_t> child_offsets() const noexcept { return child_begin_; }

  void reserve(std::size_t nodes, std::size_t edges) {
    symbol_of_.reserve(nodes);
    boundary_.reserve(nodes);
    child_begin_.reserve(nodes + 1);
    children_.reserve(edges);
  }
  // The same for a caller that adds exactly this many: their pages are made
  // present at once rather than faulted in one by one.
  void reserve_exact(std::size_t nodes, std::size_t edges) {
    reserve(nodes, edges);
    prefault(symbol_of_.data(), nodes * sizeof(std::uint32_t));
    prefault(boundary_.data(), nodes);
    prefault(child_begin_.data(), (nodes + 1) * sizeof(std::uint32_t));
    prefault(children_.data(), edges * sizeof(Pos));
  }
  // Appends a node; children must be earlier positions.
  void add_node(std::uint32_t symbol, std::span<const Pos> children, bool boundary) {
    begin_node(symbol, boundary);
    children_.insert(children_.end(), children.begin(), children.end());
    end_node();
  }
  // The allocation-free way to add a node whose children are computed one by
  // one: begin_node, push_child for each child in order, end_node.
  void begin_node(std::uint32_t symbol, bool boundary) {
    symbol_of_.push_back(symbol);
    boundary_.push_back(boundary ? 1 : 0);
  }
  void push_child(Pos c) { children_.push_back(c); }
  void end_node() { child_begin_.push_back(static_cast<std::uint32_t>(children_.size())); }

  // Panics unless every symbol index is in range, every child names an
  // earlier node and every root names a node.
  void check_well_formed() const;

 private:
  std::shared_ptr<SymbolTable> symbols_ = std::make_shared<SymbolTable>();
  BigVec<std::uint32_t> symbol_of_;
  BigVec<std::uint8_t> boundary_;
  BigVec<std::uint32_t> child_begin_ = BigVec<std::uint32_t>(1, 0);
  BigVec<Pos> children_;
};

// Decides which nodes of a symbol graph compute the same value. The result
// keeps one node per class of equal nodes (a subsequence of the input, in
// input order, children re-pointed into the result), the symbol table
// unchanged, and one root per input root.
class RewriteEngine {
 public:
  virtual ~RewriteEngine() = default;
  virtual SymbolGraph canonicalize(const SymbolGraph& graph) = 0;
  // The same, asking `interrupt` (optional) every few thousand units of work
  // and throwing Interrupted when it says stop. Engines that do not override
  // it run uninterrupted.
  virtual SymbolGraph canonicalize(const SymbolGraph& graph, Interrupt* interrupt) {
    (void)interrupt;
    return canonicalize(graph);
  }
};

// Equality saturation over an e-graph with the rules of the table in rules.h:
// commutativity of the eight commutative operations (no params, two inputs)
// and the four identity operations (one input). Each class is represented by its earliest node.
// The e-graph numbers its operators by the graph's own symbol table, and the
// rule texts are read against it (texts the graph lacks get numbers no node
// carries), so a run leaves nothing behind. An engine belongs to one reduction
// on one thread; build a fresh one per reduction.
class EGraphEngine final : public RewriteEngine {
 public:
  static constexpr std::size_t kIterLimit = 12;
  EGraphEngine();
  ~EGraphEngine() override;
  SymbolGraph canonicalize(const SymbolGraph& graph) override { return canonicalize(graph, nullptr); }
  SymbolGraph canonicalize(const SymbolGraph& graph, Interrupt* interrupt) override;

  // How the last run ended, for benchmarks and diagnostics; the reduction
  // itself never looks at it. `stop` is "Saturated", "IterationLimit",
  // "NodeLimit" or "TimeLimit".
  struct RunInfo {
    std::string stop;
    std::size_t iterations = 0;
    std::size_t egraph_nodes = 0;  // total size at the end
    std::size_t classes = 0;
    // Wall-clock seconds: adding the graph, then the run's phases summed
    // over its iterations.
    double add = 0, search = 0, apply = 0, rebuild = 0;
    struct Iteration {
      double search = 0, apply = 0, rebuild = 0;  // seconds
      std::size_t egraph_nodes = 0, classes = 0;  // at the start of the search
      std::size_t applied = 0;                    // merges by the rules
    };
    std::vector<Iteration> per_iteration;
  };
  const RunInfo& last_run() const noexcept { return last_run_; }

 private:
  RunInfo last_run_;
};

}  // namespace tavrine::opt
