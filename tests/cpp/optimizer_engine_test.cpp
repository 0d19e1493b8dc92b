// Symbol texts and the equalities a rewrite engine must find (and must not).
// The engine cases run against every engine in kEngines.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "egraph/symbol.h"
#include "optimizer/engine.h"
#include "optimizer/incremental.h"
#include "optimizer/reduce.h"
#include "optimizer/rules.h"
#include "optimizer_test_util.h"

namespace tavrine::opt::testing {
namespace {

TEST(NodeSymbol, TextsOfEveryKind) {
  EXPECT_EQ(node_symbol(op_node("add", {})), "op|add");
  EXPECT_EQ(node_symbol(op_node("add", {}, add0("r"))), "op|add|scalar=f0000000000000000;side=sr");
  EXPECT_EQ(node_symbol(op_node("add", {}, params({pf("scalar", 1.0), ps("side", "r")}))),
            "op|add|scalar=f3ff0000000000000;side=sr");
  EXPECT_EQ(node_symbol(source_node("a|b;c=d%")), "src|a%7Cb%3Bc%3Dd%25");
  EXPECT_EQ(node_symbol(reduction_node("sum", {}, params({pi("axis", -1)}))), "red|sum|axis=i-1");
  EXPECT_EQ(node_symbol(exchange_node({})), "exch");
  EXPECT_EQ(node_symbol(exchange_node({}, params({ps("scheme", "x")}))), "exch|scheme=sx");
  EXPECT_EQ(node_symbol(external_node({"k", "h", "f", "v", "io", std::nullopt}, {})), "ext|k|h|f|v|io|%");
  EXPECT_EQ(node_symbol(external_node({"k", "h", "f", "v", "io", "p"}, {}, params({pb("b", true)}))),
            "ext|k|h|f|v|io|p|b=btrue");
  EXPECT_EQ(node_symbol(stage_node({}, {StageMember{"op|a", {in_ref(0)}}, StageMember{"op|b|k=i1", {mem_ref(0), in_ref(1)}},
                                        StageMember{"op|c", {}}})),
            "stage|3|op%7Ca=i0|op%7Cb%7Ck%3Di1=m0;i1|op%7Cc=");
  for (const RuleText& r : kRules) {
    if (rule_shortcut(r) == Shortcut::Collapse) {
      EXPECT_EQ(rule_operator(r).size(), 39u);
    }
  }
}

TEST(NodeSymbol, OnlyOpsBeginWithOp) {
  EXPECT_NE(node_symbol(source_node("op")).substr(0, 3), "op|");
  EXPECT_NE(node_symbol(reduction_node("x", {})).substr(0, 3), "op|");
  EXPECT_NE(node_symbol(stage_node({}, {StageMember{"op|a", {}}})).substr(0, 3), "op|");
}

TEST(NodeSymbol, DifferentPayloadsNeverShareASymbol) {
  // Descriptor texts that differ only in where a "|" falls, an absent
  // preprocessing_ref against the text "-" or the empty text, and stages of
  // equal size with different members.
  std::vector<Node> nodes = {
      external_node({"a|b", "c", "f", "v", "io", std::nullopt}, {}),
      external_node({"a", "b|c", "f", "v", "io", std::nullopt}, {}),
      external_node({"a", "b", "c|f", "v", "io", std::nullopt}, {}),
      external_node({"a", "b", "c", "f", "v|io", std::nullopt}, {}),
      external_node({"a", "b", "c", "f", "v", "io"}, {}),
      external_node({"a", "b", "c", "f", "v", "-"}, {}),
      external_node({"a", "b", "c", "f", "v", ""}, {}),
      external_node({"a", "b", "c", "f", "v", "%"}, {}),
      external_node({"a", "b", "c", "f", "v", std::nullopt}, {}),
      external_node({"a", "b", "c", "f", "v", std::nullopt}, {}, params({pi("k", 1)})),
      external_node({"a", "b", "c", "f", "v", "|k=i1"}, {}),
      stage_node({}, {StageMember{"op|a", {in_ref(0)}}}),
      stage_node({}, {StageMember{"op|b", {in_ref(0)}}}),
      stage_node({}, {StageMember{"op|a", {in_ref(1)}}}),
      stage_node({}, {StageMember{"op|a", {mem_ref(0)}}}),
      stage_node({}, {StageMember{"op|a", {in_ref(0), in_ref(0)}}}),
      stage_node({}, {StageMember{"op|a=i0|op|a", {}}}),
      stage_node({}, {StageMember{"op|a", {}}, StageMember{"op|a", {}}}),
      source_node("a"),
      source_node("a", params({pi("k", 1)})),
      source_node("a|k=i1"),
      op_node("a", {}),
      reduction_node("a", {}),
      exchange_node({}),
      exchange_node({}, params({ps("", "")})),
  };
  std::set<std::string> seen;
  for (const Node& n : nodes) EXPECT_TRUE(seen.insert(node_symbol(n)).second) << node_symbol(n);
}

TEST(NodeSymbol, ViewsAndNodesAgree) {
  RandomGraph gen(7);
  std::vector<Node> nodes = gen.generate({200, true, true});
  Store s;
  fill_store(s, nodes, nodes.size());
  Snapshot snap = s.snapshot();
  for (NodeId i = 0; i < nodes.size(); ++i) EXPECT_EQ(node_symbol(snap.node(i)), node_symbol(nodes[i]));
}

TEST(NodeSymbol, IdentityAndCommutativeClassification) {
  for (const char* name : {"add", "mul", "sub", "add|"}) {
    for (ParamMap p : {add0("r"), add0("l"), mul1("r"), mul1("l"), add0("x"), ParamMap{},
                       params({pi("scalar", 0), ps("side", "r")}), params({pf("scalar", -0.0), ps("side", "r")}),
                       params({pf("scalar", 0.0), ps("side", "r"), pi("z", 1)}),
                       params({pf("scalar", std::nan("")), ps("side", "r")})}) {
      const std::string sym = node_symbol(op_node(name, {}, p));
      EXPECT_EQ(shortcut_of(sym) == Shortcut::Collapse, is_identity_symbol(sym)) << sym;
      EXPECT_EQ(shortcut_of(sym) == Shortcut::Commute, is_commutative_symbol(sym)) << sym;
    }
  }
  EXPECT_EQ(shortcut_of("op|maximum"), Shortcut::Commute);
  EXPECT_EQ(shortcut_of("op|sub"), Shortcut::None);
  EXPECT_EQ(shortcut_of("op|Add"), Shortcut::None);
  EXPECT_EQ(shortcut_of("red|add"), Shortcut::None);
}

TEST(RuleTable, SaysWhatTheRulesStatedOnTheirOwnSay) {
  std::size_t commutes = 0, collapses = 0;
  for (const RuleText& r : kRules) {
    const std::string op(rule_operator(r));
    if (rule_shortcut(r) == Shortcut::Commute) {
      ++commutes;
      EXPECT_TRUE(is_commutative_symbol(op)) << r.name;
      EXPECT_EQ(rule_arity(r), 2u) << r.name;
      EXPECT_EQ(std::string(r.name), "commute-" + op.substr(3));
    } else {
      EXPECT_TRUE(is_identity_symbol(op)) << r.name;
      EXPECT_EQ(rule_arity(r), 1u) << r.name;
      EXPECT_EQ(std::string(r.name), "identity-" + std::to_string(collapses));
      ++collapses;
    }
  }
  EXPECT_EQ(commutes, 8u);
  EXPECT_EQ(collapses, 4u);
  EXPECT_TRUE(names_rule_op("add"));
  EXPECT_TRUE(names_rule_op("minimum"));
  EXPECT_FALSE(names_rule_op("ad"));
  EXPECT_FALSE(names_rule_op("sub"));
  EXPECT_FALSE(names_rule_op("add|"));
  EXPECT_EQ(shortcut_arity(Shortcut::Commute), 2u);
  EXPECT_EQ(shortcut_arity(Shortcut::Collapse), 1u);
}

// ---- engines -------------------------------------------------------------

// The symbol graph of a whole snapshot, one root per node, built directly
// (not through the pipeline) so engines can be compared on it.
SymbolGraph every_node_as_root(const Snapshot& snap) {
  SymbolGraph g;
  for (NodeId i = 0; i < snap.end_id(); ++i) {
    const std::uint32_t sym = g.intern_symbol(node_symbol(snap.node(i))).first;
    std::vector<Pos> kids(snap.node(i).inputs().begin(), snap.node(i).inputs().end());
    g.add_node(sym, kids, snap.node(i).kind() != NodeKind::Op);
    g.roots.push_back(static_cast<Pos>(i));
  }
  return g;
}

class Engine : public ::testing::TestWithParam<EngineCase> {
 protected:
  // Canonical form of the whole store with every node as a root: the
  // canonical position of each store node.
  std::vector<Pos> classes(const Store& s) {
    SymbolGraph g = every_node_as_root(s.snapshot());
    auto engine = GetParam().make();
    out_ = engine->canonicalize(g);
    return out_.roots;
  }
  SymbolGraph out_;
};

TEST_P(Engine, CommutedTwinsMergeIntoTheEarlierNode) {
  Builder b;
  NodeId x = b.src("x"), y = b.src("y");
  for (std::string_view w : kCommutativeWords) {
    NodeId xy = b.op(std::string(w), {x, y});
    NodeId yx = b.op(std::string(w), {y, x});
    NodeId user = b.op("neg", {yx});
    auto c = classes(b.store);
    EXPECT_EQ(c[xy], c[yx]) << w;
    // The kept node is the earlier one, with its own operand order, and the
    // user of the later one now reads it.
    EXPECT_EQ(out_.node(c[xy]).symbol, "op|" + std::string(w));
    EXPECT_EQ(std::vector<Pos>(out_.children_of(c[xy]).begin(), out_.children_of(c[xy]).end()),
              (std::vector<Pos>{c[x], c[y]}));
    EXPECT_EQ(out_.children_of(c[user])[0], c[xy]);
  }
}

TEST_P(Engine, LoneCommutativeOpKeepsItsOrder) {
  Builder b;
  NodeId x = b.src("x"), y = b.src("y");
  NodeId yx = b.op("add", {y, x});
  auto c = classes(b.store);
  EXPECT_EQ(out_.size(), 3u);
  EXPECT_EQ(out_.children_of(c[yx])[0], c[y]);
}

TEST_P(Engine, NonCommutativeOrParameterisedTwinsStayApart) {
  Builder b;
  NodeId x = b.src("x"), y = b.src("y");
  NodeId s1 = b.op("sub", {x, y}), s2 = b.op("sub", {y, x});
  NodeId a1 = b.op("add", {x, y}, params({pi("k", 1)})), a2 = b.op("add", {y, x}, params({pi("k", 1)}));
  NodeId t1 = b.op("add", {x, y, x}), t2 = b.op("add", {x, x, y});
  NodeId u1 = b.op("Add", {x, y}), u2 = b.op("Add", {y, x});
  auto c = classes(b.store);
  EXPECT_NE(c[s1], c[s2]);
  EXPECT_NE(c[a1], c[a2]);
  EXPECT_NE(c[t1], c[t2]);
  EXPECT_NE(c[u1], c[u2]);
  EXPECT_EQ(out_.size(), b.store.node_count());
}

TEST_P(Engine, IdentityOpsMergeWithTheirInput) {
  for (ParamMap p : {add0("r"), add0("l"), mul1("r"), mul1("l")}) {
    Builder b;
    NodeId x = b.src("x");
    NodeId id = b.op(p.entries[0].value.as_float() == 0.0 ? "add" : "mul", {x}, p);
    NodeId user = b.op("neg", {id});
    auto c = classes(b.store);
    EXPECT_EQ(c[id], c[x]);
    EXPECT_EQ(out_.size(), 2u);
    EXPECT_EQ(out_.children_of(c[user])[0], c[x]);
  }
}

TEST_P(Engine, IdentityNearMissesStayApart) {
  Builder b;
  NodeId x = b.src("x"), y = b.src("y");
  std::vector<NodeId> misses = {
      b.op("add", {x}, params({pi("scalar", 0), ps("side", "r")})),
      b.op("add", {x}, params({pf("scalar", -0.0), ps("side", "l")})),
      b.op("add", {x}, params({pf("scalar", 0.0), ps("side", "r"), pi("extra", 0)})),
      b.op("add", {x}, params({pf("scalar", 1.0), ps("side", "r")})),
      b.op("mul", {x}, params({pf("scalar", 0.0), ps("side", "r")})),
      b.op("mul", {x}, params({pi("scalar", 1), ps("side", "l")})),
      b.op("add", {x}, add0("x")),
      b.op("sub", {x}, add0("r")),
      b.op("add", {x, y}, add0("r")),  // two inputs: not an identity
      b.op("add", {}, add0("r")),      // no input
  };
  auto c = classes(b.store);
  for (NodeId m : misses) {
    EXPECT_NE(c[m], c[x]);
    EXPECT_NE(c[m], c[y]);
  }
  EXPECT_EQ(out_.size(), b.store.node_count());
}

TEST_P(Engine, IdentityChainsCollapse) {
  Builder b;
  NodeId x = b.src("x");
  NodeId m1 = b.op("mul", {x}, mul1("r"));
  NodeId m2 = b.op("mul", {m1}, mul1("r"));
  NodeId m3 = b.op("add", {m2}, add0("l"));
  auto c = classes(b.store);
  EXPECT_EQ(c[m1], c[x]);
  EXPECT_EQ(c[m2], c[x]);
  EXPECT_EQ(c[m3], c[x]);
  EXPECT_EQ(out_.size(), 1u);
}

TEST_P(Engine, CongruenceAfterRewrites) {
  Builder b;
  NodeId x = b.src("x"), y = b.src("y");
  NodeId id = b.op("add", {x}, add0("r"));
  NodeId n1 = b.op("neg", {x});
  NodeId n2 = b.op("neg", {id});
  NodeId xy = b.op("add", {x, y}), yx = b.op("add", {y, x});
  NodeId f1 = b.op("f", {xy}), f2 = b.op("f", {yx});
  NodeId g1 = b.op("g", {f1, n1}), g2 = b.op("g", {f2, n2});
  // Commuted congruence: add(neg x, f(yx)) vs add(f(xy), neg(id x)).
  NodeId h1 = b.op("add", {n1, f2}), h2 = b.op("add", {f1, n2});
  auto c = classes(b.store);
  EXPECT_EQ(c[n1], c[n2]);
  EXPECT_EQ(c[f1], c[f2]);
  EXPECT_EQ(c[g1], c[g2]);
  EXPECT_EQ(c[h1], c[h2]);
  EXPECT_EQ(out_.size(), 7u);  // x y neg f-of-add add g add
}

TEST_P(Engine, EqualExternalsMergeAndRepresentativesAreEarliest) {
  Builder b;
  NodeId x = b.src("x");
  NodeId id = b.op("mul", {x}, mul1("l"));
  PayloadDescriptor d{"m", "h", "fw", "1", "io", std::nullopt};
  NodeId e1 = b.add(external_node(d, {id}));
  NodeId e2 = b.add(external_node(d, {x}));
  auto c = classes(b.store);
  EXPECT_EQ(c[e1], c[e2]);
  // e1 is earlier: it represents the class even though e2 is the node the
  // identity made equal to it; its input now reads x.
  EXPECT_EQ(out_.node(c[e1]).symbol, node_symbol(b.store.snapshot().node(e1)));
  EXPECT_EQ(out_.size(), 2u);
  EXPECT_EQ(out_.children_of(1)[0], 0u);
}

TEST_P(Engine, EmptyGraphAndEmptyStore) {
  SymbolGraph empty;
  SymbolGraph out = GetParam().make()->canonicalize(empty);
  EXPECT_EQ(out.size(), 0u);
  EXPECT_TRUE(out.roots.empty());
  Store s;
  auto engine = GetParam().make();
  auto r = reduce_store(s, std::nullopt, false, *engine);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->report, ReductionReport{});
  EXPECT_EQ(r->store->node_count(), 0u);
}

TEST_P(Engine, MatchesTheReferenceOnRandomGraphs) {
  for (std::uint64_t seed = 1; seed <= 60; ++seed) {
    RandomGraph gen(seed);
    std::vector<Node> nodes = gen.generate({80, true, true});
    Store s;
    fill_store(s, nodes, nodes.size());
    auto mine = classes(s);
    SymbolGraph out = out_;
    ReferenceEngine ref;
    // Same input graph as classes() built.
    Snapshot snap = s.snapshot();
    std::vector<Pos> expected;
    {
      SymbolGraph g = every_node_as_root(snap);
      SymbolGraph r = ref.canonicalize(g);
      expected = r.roots;
      ASSERT_EQ(r.size(), out.size()) << "seed " << seed;
      for (Pos i = 0; i < r.size(); ++i) {
        EXPECT_EQ(r.symbol_index(i), out.symbol_index(i));
        auto a = r.children_of(i), bb = out.children_of(i);
        EXPECT_TRUE(std::equal(a.begin(), a.end(), bb.begin(), bb.end()));
      }
    }
    EXPECT_EQ(mine, expected) << "seed " << seed;
    // An engine that says its nodes are distinct leaves nothing to deduplicate.
    if (out.distinct_nodes) {
      EXPECT_EQ(dedup_structural(out).size(), out.size()) << "seed " << seed;
    }
  }
}

TEST(EGraphEngineScale, ReachesTheClosureWhenRulesGetBanned) {
  // Enough commutative ops that each commute rule finds more than 1,000
  // matches and is banned at first; the run must still end with every
  // equality found.
  RandomGraph gen(77);
  std::vector<Node> nodes = gen.generate({40000, false, true});
  Store s;
  fill_store(s, nodes, nodes.size());
  Snapshot snap = s.snapshot();
  SymbolGraph g = every_node_as_root(snap);
  EGraphEngine engine;
  SymbolGraph mine = engine.canonicalize(g);
  EXPECT_EQ(engine.last_run().stop, "Saturated");
  EXPECT_GT(engine.last_run().iterations, 2u);
  ReferenceEngine ref;
  SymbolGraph want = ref.canonicalize(g);
  EXPECT_EQ(mine.roots, want.roots);
  EXPECT_EQ(mine.size(), want.size());
}

INSTANTIATE_TEST_SUITE_P(All, Engine, ::testing::ValuesIn(kEngines),
                         [](const ::testing::TestParamInfo<EngineCase>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace tavrine::opt::testing
