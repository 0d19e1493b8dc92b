#pragma once
// Shared helpers of the optimizer tests: a graph builder over a Store, a
// reference engine (congruence closure modulo commutativity and identities,
// straightforward and slow), an evaluator that gives ops concrete meaning,
// and a seeded random graph generator.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "optimizer/engine.h"
#include "optimizer/reduce.h"
#include "store/node.h"
#include "store/store.h"
#include "support/owned_node.h"

namespace tavrine::opt::testing {

// ---- building graphs -----------------------------------------------------

inline ParamMap params(std::vector<Param> entries) { return ParamMap::sorted(std::move(entries)); }
inline Param pf(std::string k, double v) { return Param{std::move(k), ParamValue::of_float(v)}; }
inline Param pi(std::string k, std::int64_t v) { return Param{std::move(k), ParamValue::of_int(v)}; }
inline Param ps(std::string k, std::string v) { return Param{std::move(k), ParamValue::of_str(std::move(v))}; }
inline Param pb(std::string k, bool v) { return Param{std::move(k), ParamValue::of_bool(v)}; }

inline ParamMap add0(const char* side) { return params({pf("scalar", 0.0), ps("side", side)}); }
inline ParamMap mul1(const char* side) { return params({pf("scalar", 1.0), ps("side", side)}); }

inline Node source_node(std::string name, ParamMap p = {}) {
  Node n;
  n.kind = NodeKind::Source;
  n.name = std::move(name);
  n.params = std::move(p);
  return n;
}
inline Node op_node(std::string name, std::vector<NodeId> in, ParamMap p = {}) {
  Node n;
  n.kind = NodeKind::Op;
  n.name = std::move(name);
  n.params = std::move(p);
  n.inputs = std::move(in);
  return n;
}
inline Node reduction_node(std::string name, std::vector<NodeId> in, ParamMap p = {}) {
  Node n = op_node(std::move(name), std::move(in), std::move(p));
  n.kind = NodeKind::Reduction;
  return n;
}
inline Node external_node(PayloadDescriptor d, std::vector<NodeId> in, ParamMap p = {}) {
  Node n;
  n.kind = NodeKind::External;
  n.descriptor = std::make_shared<const PayloadDescriptor>(std::move(d));
  n.params = std::move(p);
  n.inputs = std::move(in);
  return n;
}
inline Node exchange_node(std::vector<NodeId> in, ParamMap p = {}) {
  Node n;
  n.kind = NodeKind::Exchange;
  n.params = std::move(p);
  n.inputs = std::move(in);
  return n;
}
inline Node stage_node(std::vector<NodeId> in, std::vector<StageMember> m) {
  Node n;
  n.kind = NodeKind::Stage;
  n.inputs = std::move(in);
  n.members = std::move(m);
  return n;
}
inline StageRef in_ref(std::uint64_t k) { return StageRef{StageRef::Kind::Input, k}; }
inline StageRef mem_ref(std::uint64_t k) { return StageRef{StageRef::Kind::Member, k}; }

// Interns into a store, failing the test on error.
class Builder {
 public:
  Store store;
  NodeId add(const Node& n) {
    auto r = intern(store, n);
    if (!r) throw std::runtime_error("intern failed: " + r.error().message());
    return *r;
  }
  NodeId src(std::string name) { return add(source_node(std::move(name))); }
  NodeId op(std::string name, std::vector<NodeId> in, ParamMap p = {}) {
    return add(op_node(std::move(name), std::move(in), std::move(p)));
  }
  void mark(NodeId id) {
    if (!store.mark_output(id)) throw std::runtime_error("mark failed");
  }
};

inline std::vector<Node> store_nodes(const Store& s) {
  Snapshot snap = s.snapshot();
  std::vector<Node> out;
  for (NodeId i = 0; i < snap.end_id(); ++i) out.push_back(to_node(snap.node(i)));
  return out;
}

// ---- engines ---------------------------------------------------------------

// Returns its input: no equalities beyond what structural deduplication finds.
class IdentityEngine final : public RewriteEngine {
 public:
  int calls = 0;
  SymbolGraph canonicalize(const SymbolGraph& g) override {
    ++calls;
    return g;
  }
};

// The rules, stated here on their own rather than read from the optimizer's
// table: the eight commutative operations without params, and add 0.0 /
// mul 1.0 with the scalar on either side.
inline constexpr std::string_view kCommutativeWords[8] = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};
inline bool is_commutative_symbol(std::string_view s) {
  for (std::string_view w : kCommutativeWords) {
    if (s.size() == 3 + w.size() && s.substr(0, 3) == "op|" && s.substr(3) == w) return true;
  }
  return false;
}
inline bool is_identity_symbol(std::string_view s) {
  for (std::string_view unit : {"op|add|scalar=f0000000000000000", "op|mul|scalar=f3ff0000000000000"}) {
    for (std::string_view side : {";side=sr", ";side=sl"}) {
      if (s == std::string(unit) + std::string(side)) return true;
    }
  }
  return false;
}

// Congruence closure modulo commutativity (two children, a commutative
// symbol) and identities (one child, an identity symbol), by naive fixpoint
// iteration; the earliest position represents its class. Equal to what
// equality saturation with the twelve rules computes at saturation.
class ReferenceEngine final : public RewriteEngine {
 public:
  SymbolGraph canonicalize(const SymbolGraph& g) override {
    const Pos n = static_cast<Pos>(g.size());
    std::vector<Pos> parent(n);
    std::iota(parent.begin(), parent.end(), 0);
    std::function<Pos(Pos)> find = [&](Pos x) {
      while (parent[x] != x) x = parent[x] = parent[parent[x]];
      return x;
    };
    auto unite = [&](Pos a, Pos b) {
      a = find(a);
      b = find(b);
      if (a == b) return false;
      if (a < b) std::swap(a, b);
      parent[a] = b;  // the smaller position stays the root
      return true;
    };
    for (bool changed = true; changed;) {
      changed = false;
      std::map<std::pair<std::uint32_t, std::vector<Pos>>, Pos> seen;
      for (Pos i = 0; i < n; ++i) {
        SymbolNode sn = g.node(i);
        if (sn.children.size() == 1 && is_identity_symbol(sn.symbol)) changed |= unite(i, sn.children[0]);
        std::vector<Pos> key;
        for (Pos c : sn.children) key.push_back(find(c));
        if (key.size() == 2 && is_commutative_symbol(sn.symbol)) std::sort(key.begin(), key.end());
        auto [it, fresh] = seen.emplace(std::make_pair(sn.symbol_index, key), i);
        if (!fresh) changed |= unite(i, it->second);
      }
    }
    SymbolGraph out;
    out.share_symbols(g);
    std::vector<Pos> out_pos(n, UINT32_MAX);
    for (Pos i = 0; i < n; ++i) {
      if (find(i) != i) continue;
      out.begin_node(g.symbol_index(i), g.boundary(i));
      for (Pos c : g.children_of(i)) out.push_child(out_pos[find(c)]);
      out.end_node();
      out_pos[i] = static_cast<Pos>(out.size() - 1);
    }
    for (Pos r : g.roots) out.roots.push_back(out_pos[find(r)]);
    return out;
  }
};

// ---- evaluation --------------------------------------------------------------

inline std::uint64_t mix(std::uint64_t h, std::uint64_t w) {
  h ^= w + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
  h *= 0xff51afd7ed558ccdull;
  return h ^ (h >> 33);
}
inline std::uint64_t mix_text(std::uint64_t h, std::string_view s) {
  h = mix(h, s.size());
  for (unsigned char c : s) h = mix(h, c);
  return h;
}

// The operation token of a named node, written out independently of the
// optimizer: prefix, escaped name, and "|" with the canonical parameter text
// when there are params.
inline std::string op_token(std::string_view prefix, const std::string& name, const ParamMap& p) {
  std::string t(prefix);
  t += escape(name);
  if (!p.empty()) {
    t += '|';
    t += canonical_param_text(p);
  }
  return t;
}

// Gives every node a 64-bit value: the eight commutative ops (no params, two
// arguments) are symmetric functions, identity ops (one argument) return it,
// everything else is an uninterpreted hash of its own fields (length-prefixed,
// so different nodes never collide by construction) and its argument values
// in order. A Stage is evaluated member by member; its value is its last
// member's.
class Evaluator {
 public:
  static std::uint64_t apply_token(std::string_view token, const std::vector<std::uint64_t>& args) {
    if (args.size() == 1 && is_identity_symbol(token)) return args[0];
    if (args.size() == 2 && is_commutative_symbol(token)) {
      std::uint64_t h = mix_text(17, token);
      return mix(mix(h, std::min(args[0], args[1])), std::max(args[0], args[1]));
    }
    std::uint64_t h = mix_text(29, token);
    h = mix(h, args.size());
    for (std::uint64_t a : args) h = mix(h, a);
    return h;
  }

  static std::uint64_t fields_hash(const Node& n) {
    std::uint64_t h = mix(41, static_cast<std::uint64_t>(n.kind));
    h = mix_text(h, canonical_param_text(n.params));
    h = mix(h, n.params.size());
    if (n.descriptor) {
      const PayloadDescriptor& d = *n.descriptor;
      for (const std::string* f : {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema}) {
        h = mix_text(h, *f);
      }
      h = mix(h, d.preprocessing_ref.has_value());
      if (d.preprocessing_ref) h = mix_text(h, *d.preprocessing_ref);
    }
    return h;
  }

  // Values of all nodes of a sequence (inputs refer to earlier positions).
  static std::vector<std::uint64_t> evaluate(const std::vector<Node>& nodes) {
    std::vector<std::uint64_t> val(nodes.size());
    std::vector<std::uint64_t> args;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      const Node& n = nodes[i];
      args.clear();
      for (NodeId in : n.inputs) args.push_back(val.at(in));
      switch (n.kind) {
        case NodeKind::Source: val[i] = mix_text(fields_hash(n), op_token("src|", n.name, n.params)); break;
        case NodeKind::Op: val[i] = apply_token(op_token("op|", n.name, n.params), args); break;
        case NodeKind::Reduction: val[i] = apply_token(op_token("red|", n.name, n.params), args); break;
        case NodeKind::External:
        case NodeKind::Exchange: val[i] = apply_token("node", {fields_hash(n), apply_token("args", args)}); break;
        case NodeKind::Stage: {
          std::vector<std::uint64_t> mv;
          for (const StageMember& m : n.members) {
            std::vector<std::uint64_t> a;
            for (const StageRef& r : m.refs) {
              a.push_back(r.kind == StageRef::Kind::Input ? args.at(r.index) : mv.at(r.index));
            }
            mv.push_back(apply_token(m.token, a));
          }
          val[i] = mv.empty() ? apply_token("empty-stage", args) : mv.back();
          break;
        }
      }
    }
    return val;
  }
};

// ---- random graphs -----------------------------------------------------------

struct RandomGraphOptions {
  std::size_t nodes = 40;
  bool stages = true;     // record Stage nodes directly
  bool dead = true;       // leave some nodes unmarked and unused
};

// A random node sequence (distinct after interning) with all six kinds,
// commuted twins, identity ops and their near misses, names and descriptors
// that stress escaping. Returns the nodes in recording order; ids are the
// positions once interned into an empty store.
class RandomGraph {
 public:
  explicit RandomGraph(std::uint64_t seed) : rng_(seed) {}

  std::vector<Node> generate(const RandomGraphOptions& opt) {
    Store s;
    std::vector<Node> nodes;
    auto record = [&](Node n) {
      auto r = intern(s, n);
      if (r && *r == nodes.size()) nodes.push_back(std::move(n));
    };
    while (nodes.size() < opt.nodes) {
      const std::size_t count = nodes.size();
      const int kind = count < 3 ? 0 : pick(100);
      if (kind < 12) {
        record(source_node(pick_of(names_), random_params()));
      } else if (kind < 60) {
        record(op_node(pick_of(op_names_), random_inputs(count, pick(4) == 0 ? 1 : 2), op_params()));
      } else if (kind < 70) {
        // a commuted twin of an earlier two-input op
        std::vector<std::size_t> twos;
        for (std::size_t i = 0; i < count; ++i) {
          if (nodes[i].kind == NodeKind::Op && nodes[i].inputs.size() == 2) twos.push_back(i);
        }
        if (twos.empty()) continue;
        Node n = nodes[twos[pick(twos.size())]];
        std::swap(n.inputs[0], n.inputs[1]);
        if (pick(3) == 0) n.inputs[pick(2)] = pick(count);
        record(std::move(n));
      } else if (kind < 80) {
        // an identity op (or a near miss) over an earlier node
        record(op_node(pick(2) ? "add" : "mul", random_inputs(count, pick(6) == 0 ? 2 : 1), identity_params()));
      } else if (kind < 85) {
        record(reduction_node(pick_of(op_names_), random_inputs(count, 1 + pick(2)), random_params()));
      } else if (kind < 91) {
        record(external_node(pick_of(descriptors_), random_inputs(count, pick(3)), random_params()));
      } else if (kind < 95) {
        record(exchange_node(random_inputs(count, pick(3)), random_params()));
      } else if (opt.stages) {
        record(random_stage(count));
      }
    }
    return nodes;
  }

  // Outputs: every node nobody uses (so everything is reachable), or a random
  // subset with repeats when `dead` is allowed.
  std::vector<NodeId> outputs(const std::vector<Node>& nodes, bool dead) {
    std::vector<NodeId> out;
    if (!dead) {
      std::vector<bool> used(nodes.size());
      for (const Node& n : nodes) {
        for (NodeId in : n.inputs) used[in] = true;
      }
      for (NodeId i = 0; i < nodes.size(); ++i) {
        if (!used[i]) out.push_back(i);
      }
      return out;
    }
    const std::size_t k = pick(6);
    for (std::size_t j = 0; j < k && !nodes.empty(); ++j) out.push_back(pick(nodes.size()));
    return out;
  }

  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

 private:
  template <class T>
  const T& pick_of(const std::vector<T>& v) {
    return v[pick(v.size())];
  }
  std::vector<NodeId> random_inputs(std::size_t count, std::size_t k) {
    std::vector<NodeId> in;
    for (std::size_t i = 0; i < k; ++i) {
      // prefer recent nodes: deeper graphs
      std::size_t back = std::min<std::size_t>(count, 1 + pick(pick(2) ? 4 : count));
      in.push_back(count - back);
    }
    return in;
  }
  ParamMap random_params() {
    switch (pick(5)) {
      case 0: return params({pi("k", static_cast<std::int64_t>(pick(2)))});
      case 1: return params({ps("s", pick(2) ? "a|b" : "a%7Cb")});
      default: return {};
    }
  }
  ParamMap op_params() {
    switch (pick(8)) {
      case 0: return params({pi("k", 1)});
      case 1: return identity_params();
      default: return {};
    }
  }
  ParamMap identity_params() {
    const bool mul = pick(2);
    switch (pick(8)) {
      case 0: return params({pi("scalar", mul ? 1 : 0), ps("side", "r")});
      case 1: return params({pf("scalar", -0.0), ps("side", "l")});
      case 2: return params({pf("scalar", mul ? 1.0 : 0.0), ps("side", "r"), pb("x", true)});
      case 3: return params({pf("scalar", mul ? 0.0 : 1.0), ps("side", "l")});
      default: return mul ? mul1(pick(2) ? "r" : "l") : add0(pick(2) ? "r" : "l");
    }
  }
  Node random_stage(std::size_t count) {
    std::vector<NodeId> in = random_inputs(count, pick(3));
    std::vector<StageMember> members;
    const std::size_t m = 1 + pick(3);
    for (std::size_t k = 0; k < m; ++k) {
      StageMember sm;
      sm.token = pick_of(tokens_);
      const std::size_t refs = pick(3);
      for (std::size_t r = 0; r < refs; ++r) {
        if (k > 0 && (in.empty() || pick(2))) {
          sm.refs.push_back(mem_ref(pick(k)));
        } else if (!in.empty()) {
          sm.refs.push_back(in_ref(pick(in.size())));
        }
      }
      members.push_back(std::move(sm));
    }
    return stage_node(std::move(in), std::move(members));
  }

  std::mt19937_64 rng_;
  std::vector<std::string> names_ = {"x", "y", "a|b", "a%7Cb", ";=", ""};
  std::vector<std::string> op_names_ = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum",
                                        "sub", "neg", "f", "add|"};
  std::vector<std::string> tokens_ = {"op|add", "op|sub", "op|mul|scalar=f3ff0000000000000;side=sr",
                                      "red|sum", "op|neg"};
  std::vector<PayloadDescriptor> descriptors_ = {
      {"m", "h", "fw", "1", "io", std::nullopt}, {"m", "h", "fw", "1", "io", "-"},
      {"m", "h", "fw", "1", "io", ""},           {"m|h", "", "fw", "1", "io", std::nullopt},
      {"m", "|h", "fw", "1", "io", std::nullopt}, {"m", "h", "fw", "1", "io|-", std::nullopt},
  };
};

inline void fill_store(Store& s, const std::vector<Node>& nodes, std::size_t upto) {
  for (std::size_t i = s.node_count(); i < upto; ++i) {
    auto r = intern(s, nodes[i]);
    if (!r || *r != i) throw std::runtime_error("random graph interns densely");
  }
}

// The engines every engine-parametrized test runs against.
using EngineFactory = std::unique_ptr<RewriteEngine> (*)();
struct EngineCase {
  const char* name;
  EngineFactory make;
};
inline const EngineCase kEngines[] = {
    {"Reference", [] { return std::unique_ptr<RewriteEngine>(std::make_unique<ReferenceEngine>()); }},
    {"EGraph", [] { return std::unique_ptr<RewriteEngine>(std::make_unique<EGraphEngine>()); }},
};

}  // namespace tavrine::opt::testing
