#pragma once
// What the tests read of a class, rebuilt from the e-graph's public accessors: its nodes in
// stored order and its parent entries in order of addition.
#include <algorithm>
#include <utility>
#include <vector>

#include "egraph/graph.h"

namespace egraph::test {

// The nodes of find(id)'s class in stored order. Panics for an id never handed out.
inline std::vector<SymbolLang> class_nodes(const EGraph& g, ClassId id) {
  std::vector<SymbolLang> out;
  for (NodeIndex n : g.class_refs(g.find(id))) out.emplace_back(g.node_op(n), g.node_children(n));
  return out;
}

// The parent entries of find(id)'s class in order of addition, as (node as it is now, id
// the node was added as). Panics for an id never handed out.
inline std::vector<std::pair<SymbolLang, ClassId>> class_parents(const EGraph& g, ClassId id) {
  std::vector<std::pair<SymbolLang, ClassId>> out;
  g.for_each_parent(id, [&](NodeIndex n) { out.emplace_back(SymbolLang(g.node_op(n), g.node_children(n)), n); });
  std::reverse(out.begin(), out.end());
  return out;
}

}  // namespace egraph::test
