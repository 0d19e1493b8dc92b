// Property tests: the engine against the literal reference model on random operation
// sequences. They must agree on the classes (as partitions of the ids both hand out),
// sizes, merge counts, each class's nodes and parents, and the matches; not on which id of
// a class is its root, which is the engine's choice. Everything the engine reports by
// class id is therefore compared through the model's find.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>

#include "egraph/egraph.h"
#include "inspect.h"
#include "reference_model.h"
#include "test_symbols.h"

namespace egraph {
namespace {

using reference::RefGraph;
using reference::RefMatches;

struct Vocab {
  std::vector<Symbol> leaves;
  std::vector<Symbol> unary;
  std::vector<Symbol> binary;
  std::vector<Symbol> ternary;
  Vocab() {
    for (const char* s : {"src|a", "src|b", "src|c", "src|d", "src|e", "src|f"}) leaves.push_back(test::S(s));
    for (const char* s : {"op|neg", "op|exp", "op|add|scalar=f0000000000000000;side=sr",
                          "op|mul|scalar=f3ff0000000000000;side=sl"}) {
      unary.push_back(test::S(s));
    }
    for (const char* s : {"op|add", "op|mul", "op|sub", "op|maximum"}) binary.push_back(test::S(s));
    for (const char* s : {"op|where", "op|add"}) ternary.push_back(test::S(s));
  }
};

SymbolLang random_node(std::mt19937_64& rng, const Vocab& v, std::size_t n_ids) {
  auto pick = [&](const std::vector<Symbol>& from) { return from[rng() % from.size()]; };
  auto child = [&]() -> ClassId {
    // Bias towards recent ids so that chains and congruences appear.
    if (rng() % 2) return static_cast<ClassId>(n_ids - 1 - rng() % std::min<std::size_t>(n_ids, 8));
    return static_cast<ClassId>(rng() % n_ids);
  };
  const unsigned arity = n_ids == 0 ? 0 : static_cast<unsigned>(rng() % 4);
  switch (arity) {
    case 0:
      return SymbolLang(pick(v.leaves));
    case 1:
      return SymbolLang(pick(v.unary), {child()});
    case 2:
      return SymbolLang(pick(v.binary), {child(), child()});
    default:
      return SymbolLang(pick(v.ternary), {child(), child(), child()});
  }
}

// A node with its children named by the model's classes.
SymbolLang in_model(const RefGraph& r, SymbolLang n) {
  for (ClassId& c : n.children) c = r.find(c);
  return n;
}

// Adds `n` to both; the engine's answer must be an id of the model's class.
void add_to_both(EGraph& g, RefGraph& r, const SymbolLang& n) {
  const ClassId mine = g.add(n);
  const ClassId theirs = r.add(n);
  ASSERT_EQ(g.number_of_ids(), r.number_of_ids());
  ASSERT_EQ(r.find(mine), theirs);
}

void expect_same(const EGraph& g, const RefGraph& r, const std::string& where) {
  SCOPED_TRACE(where);
  ASSERT_EQ(g.number_of_ids(), r.number_of_ids());
  ASSERT_EQ(g.total_size(), r.total_size());
  ASSERT_EQ(g.number_of_classes(), r.number_of_classes());
  ASSERT_EQ(g.is_clean(), r.is_clean());
  ASSERT_EQ(reference::partition_difference(g, r, g.number_of_ids()), "");
  for (ClassId root : g.class_ids()) {
    const RefGraph::Class& cls = r.classes().at(r.find(root));
    // Nodes and parents as multisets: their order follows class ids, which may differ.
    std::vector<SymbolLang> mine, theirs;
    for (const SymbolLang& n : test::class_nodes(g, root)) mine.push_back(in_model(r, n));
    for (const SymbolLang& n : cls.nodes) theirs.push_back(in_model(r, n));
    std::sort(mine.begin(), mine.end());
    std::sort(theirs.begin(), theirs.end());
    ASSERT_EQ(mine, theirs) << "class " << root;
    std::vector<std::pair<SymbolLang, ClassId>> my_parents, their_parents;
    for (const auto& [n, id] : test::class_parents(g, root)) my_parents.emplace_back(in_model(r, n), id);
    for (const auto& [n, id] : cls.parents) their_parents.emplace_back(in_model(r, n), id);
    std::sort(my_parents.begin(), my_parents.end());
    std::sort(their_parents.begin(), their_parents.end());
    ASSERT_EQ(my_parents, their_parents) << "class " << root;
  }
}

using ByClass = std::map<ClassId, std::vector<reference::Row>>;

// Matches per model class, each row's values as model classes, rows sorted.
ByClass by_model_class(const MatchSet& m, const RefGraph& r) {
  ByClass out;
  for (std::size_t g = 0; g < m.num_groups(); ++g) {
    auto& rows = out[r.find(m.classes[g])];
    for (std::size_t s = m.group_begin(g); s < m.group_end[g]; ++s) {
      reference::Row row;
      for (ClassId id : m.row(s)) row.push_back(r.find(id));
      rows.push_back(std::move(row));
    }
  }
  for (auto& [cls, rows] : out) std::sort(rows.begin(), rows.end());
  return out;
}

ByClass by_model_class(const RefMatches& m) {
  ByClass out;
  for (const auto& [cls, rows] : m.groups) {
    auto& sorted = out[cls];
    sorted = rows;
    std::sort(sorted.begin(), sorted.end());
  }
  return out;
}

// `m` is the engine's search with `limit`, `all` the model's without one. Which matches a
// limited search keeps follows the order of class ids, so there only their number and
// their being matches are compared.
void expect_same_matches(const MatchSet& m, const RefMatches& all, std::size_t limit, const RefGraph& r) {
  ASSERT_EQ(m.vars, all.vars);
  ASSERT_EQ(m.total(), std::min(limit, all.total()));
  ASSERT_EQ(std::set<ClassId>(m.classes.begin(), m.classes.end()).size(), m.num_groups());
  const ByClass mine = by_model_class(m, r);
  const ByClass theirs = by_model_class(all);
  if (limit >= all.total()) {
    ASSERT_EQ(mine, theirs);
    return;
  }
  for (const auto& [cls, rows] : mine) {
    const auto it = theirs.find(cls);
    ASSERT_NE(it, theirs.end()) << "class " << cls;
    ASSERT_TRUE(std::includes(it->second.begin(), it->second.end(), rows.begin(), rows.end())) << "class " << cls;
  }
}

TEST(Reference, RandomAddsUnionsAndRebuilds) {
  const Vocab v;
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    std::mt19937_64 rng(seed);
    EGraph g;
    RefGraph r;
    const int steps = 300 + static_cast<int>(rng() % 300);
    for (int step = 0; step < steps; ++step) {
      const unsigned what = static_cast<unsigned>(rng() % 100);
      if (what < 65 || g.number_of_ids() < 2) {
        add_to_both(g, r, random_node(rng, v, g.number_of_ids()));
      } else if (what < 90) {
        const ClassId a = static_cast<ClassId>(rng() % g.number_of_ids());
        const ClassId b = static_cast<ClassId>(rng() % g.number_of_ids());
        ASSERT_EQ(g.union_classes(a, b), r.unite(a, b));
      } else {
        ASSERT_EQ(g.rebuild(), r.rebuild());
      }
      if (step % 25 == 0) expect_same(g, r, "seed " + std::to_string(seed) + " step " + std::to_string(step));
      if (testing::Test::HasFatalFailure()) return;
    }
    ASSERT_EQ(g.rebuild(), r.rebuild());
    expect_same(g, r, "seed " + std::to_string(seed) + " final");
    if (testing::Test::HasFatalFailure()) return;
  }
}

TEST(Reference, SearchAndApplyAgree) {
  const Vocab v;
  const char* flat[] = {"(op|add ?a ?b)", "(op|mul ?x ?x)", "(op|where ?a ?b ?c)", "(op|neg ?x)", "?x",
                        "(op|add|scalar=f0000000000000000;side=sr ?x)", "src|a", "(op|sub ?a ?a)"};
  const char* nested[] = {"(op|add (op|neg ?x) ?x)", "(op|add ?a (op|add ?b ?c))", "(op|mul (op|exp ?x) (op|exp ?x))",
                          "(op|sub (op|neg ?a) (op|neg ?b))", "(op|where ?c (op|neg ?c) src|b)"};
  const std::vector<std::pair<const char*, const char*>> rules = {
      {"(op|add ?a ?b)", "(op|add ?b ?a)"},
      {"(op|add|scalar=f0000000000000000;side=sr ?x)", "?x"},
      {"(op|add ?a (op|add ?b ?c))", "(op|add (op|add ?a ?b) ?c)"},
      {"(op|neg (op|neg ?x))", "?x"},
      {"(op|mul ?x ?x)", "(op|exp ?x)"},
  };
  for (std::uint64_t seed = 100; seed < 130; ++seed) {
    std::mt19937_64 rng(seed);
    EGraph g;
    RefGraph r;
    for (int i = 0; i < 250; ++i) {
      add_to_both(g, r, random_node(rng, v, g.number_of_ids()));
    }
    for (int round = 0; round < 6; ++round) {
      ASSERT_EQ(g.rebuild(), r.rebuild());
      expect_same(g, r, "seed " + std::to_string(seed) + " round " + std::to_string(round));
      if (testing::Test::HasFatalFailure()) return;
      for (const char* text : flat) {
        const Pattern p = test::P(text);
        const std::size_t limit = rng() % 3 == 0 ? rng() % 10 : ~std::size_t{0};
        SCOPED_TRACE(std::string(text) + " limit " + std::to_string(limit));
        expect_same_matches(p.search_with_limit(g, limit), reference::ref_search(r, p, ~std::size_t{0}), limit, r);
        if (testing::Test::HasFatalFailure()) return;
      }
      for (const char* text : nested) {
        const Pattern p = test::P(text);
        SCOPED_TRACE(text);
        expect_same_matches(p.search(g), reference::ref_search(r, p, ~std::size_t{0}), ~std::size_t{0}, r);
        if (testing::Test::HasFatalFailure()) return;
      }
      // Apply one rule to both, the model taking the engine's matches in the engine's order
      // with each class named as the model's.
      const auto& [lhs, rhs] = rules[rng() % rules.size()];
      const Pattern searcher = test::P(lhs);
      const Pattern applier = test::P(rhs);
      // Every other round the search is told the applier and marks the rows whose
      // instantiation is in the matched class already; apply leaves them out, and
      // nothing may tell the difference.
      const MatchSet m = searcher.search_with_limit(g, ~std::size_t{0}, nullptr, round % 2 ? &applier : nullptr);
      {
        const MatchSet plain = searcher.search(g);
        ASSERT_EQ(m.values, plain.values);
        ASSERT_EQ(m.classes, plain.classes);
        ASSERT_EQ(m.group_end, plain.group_end);
      }
      RefMatches rm;
      rm.vars = m.vars;
      for (std::size_t grp = 0; grp < m.num_groups(); ++grp) {
        std::vector<reference::Row> rows;
        for (std::size_t s = m.group_begin(grp); s < m.group_end[grp]; ++s) {
          reference::Row row;
          for (ClassId id : m.row(s)) row.push_back(r.find(id));
          rows.push_back(std::move(row));
        }
        rm.groups.emplace_back(r.find(m.classes[grp]), std::move(rows));
      }
      ASSERT_EQ(applier.apply_matches(g, m, test::S("rule")).size(), reference::ref_apply(r, applier, rm));
      expect_same(g, r, "after apply");
      if (testing::Test::HasFatalFailure()) return;
    }
  }
}

std::vector<std::pair<std::string, std::pair<std::string, std::string>>> optimizer_rules() {
  std::vector<std::pair<std::string, std::pair<std::string, std::string>>> out;
  for (const char* w : {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"}) {
    out.push_back({std::string("commute-") + w,
                   {std::string("(op|") + w + " ?a ?b)", std::string("(op|") + w + " ?b ?a)"}});
  }
  int k = 0;
  for (const char* key : {"op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
                          "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl"}) {
    out.push_back({"identity-" + std::to_string(k++), {std::string("(") + key + " ?x)", "?x"}});
  }
  return out;
}

struct RunSummary {
  StopKind stop = StopKind::Saturated;
  std::size_t iterations = 0;
  std::size_t merges = 0;
};

void compare_runs(RunSummary& summary, std::uint64_t seed, std::size_t n_nodes,
                  const std::vector<std::pair<std::string, std::pair<std::string, std::string>>>& texts,
                  std::size_t iter_limit, std::size_t node_limit, std::uint64_t match_limit) {
  SCOPED_TRACE("seed " + std::to_string(seed));
  const Vocab v;
  std::mt19937_64 rng(seed);
  EGraph g;
  RefGraph r;
  for (std::size_t i = 0; i < n_nodes; ++i) {
    add_to_both(g, r, random_node(rng, v, g.number_of_ids()));
  }
  const std::size_t ids_before = g.number_of_ids();
  // A node limit below the initial size means "this much above the initial size".
  if (node_limit < n_nodes) node_limit += g.total_size();
  std::vector<Rewrite> rules;
  std::vector<reference::RefRule> ref_rules;
  for (const auto& [name, sides] : texts) {
    rules.push_back(test::make_rule(name, test::P(sides.first),
                                    test::P(sides.second)));
    ref_rules.push_back({rules.back().name(), rules.back().searcher(), rules.back().applier()});
  }
  Runner runner;
  runner.with_egraph(std::move(g))
      .with_iter_limit(iter_limit)
      .with_node_limit(node_limit)
      .with_time_limit(std::chrono::hours(1))
      .with_scheduler(BackoffScheduler(match_limit, 5))
      .run(rules);
  reference::RefRunner ref(std::move(r), iter_limit, node_limit, match_limit, 5);
  const StopKind ref_stop = ref.run(ref_rules);
  ASSERT_EQ(runner.stop_reason()->kind, ref_stop);
  ASSERT_EQ(runner.iterations().size(), ref.iterations().size());
  for (std::size_t i = 0; i < ref.iterations().size(); ++i) {
    const IterationRecord& a = runner.iterations()[i];
    const reference::RefIteration& b = ref.iterations()[i];
    SCOPED_TRACE("iteration " + std::to_string(i));
    ASSERT_EQ(a.egraph_nodes, b.nodes);
    ASSERT_EQ(a.egraph_classes, b.classes);
    ASSERT_EQ(a.applied, b.applied);
    ASSERT_EQ(a.n_rebuilds, b.rebuild_merges);
    ASSERT_EQ(a.stop_reason.has_value(), b.stop.has_value());
  }
  // Each side applied its matches in the order of its own class ids, so the ids of nodes
  // the run added need not correspond; the ids added before it do.
  const EGraph& out = runner.egraph();
  ASSERT_EQ(out.number_of_ids(), ref.graph().number_of_ids());
  ASSERT_EQ(out.total_size(), ref.graph().total_size());
  ASSERT_EQ(out.number_of_classes(), ref.graph().number_of_classes());
  ASSERT_EQ(reference::partition_difference(out, ref.graph(), ids_before), "");
  summary.stop = ref_stop;
  summary.iterations = ref.iterations().size();
  for (const auto& it : runner.iterations()) {
    for (const auto& [name, n] : it.applied) summary.merges += n;
  }
}

TEST(Reference, OptimizerRuleRunsAgree) {
  const auto rules = optimizer_rules();
  std::size_t merges = 0;
  for (std::uint64_t seed = 200; seed < 215; ++seed) {
    RunSummary s;
    compare_runs(s, seed, 400, rules, 12, 4 * 400 + 1024, 1000);
    if (testing::Test::HasFatalFailure()) return;
    EXPECT_EQ(s.stop, StopKind::Saturated);
    merges += s.merges;
  }
  EXPECT_GT(merges, 100u);
}

TEST(Reference, RunsWithBansAndNodeLimitsAgree) {
  auto rules = optimizer_rules();
  rules.push_back({"assoc-add", {"(op|add ?a (op|add ?b ?c))", "(op|add (op|add ?a ?b) ?c)"}});
  rules.push_back({"neg-neg", {"(op|neg (op|neg ?x))", "?x"}});
  rules.push_back({"square", {"(op|mul ?x ?x)", "(op|exp ?x)"}});
  std::map<StopKind, int> stops;
  std::size_t longest = 0;
  for (std::uint64_t seed = 300; seed < 330; ++seed) {
    // Small match limits exercise banning and fast-forwarding; small node limits stop runs early.
    RunSummary s;
    compare_runs(s, seed, 300, rules, seed % 3 == 0 ? 5 : 12, seed % 2 ? 15 + seed % 40 : 100000, 3 + seed % 7);
    if (testing::Test::HasFatalFailure()) return;
    ++stops[s.stop];
    longest = std::max(longest, s.iterations);
  }
  // The seeds must cover every way a run can end without a clock.
  EXPECT_GT(stops[StopKind::Saturated], 0);
  EXPECT_GT(stops[StopKind::NodeLimit], 0);
  EXPECT_GT(stops[StopKind::IterationLimit], 0);
  EXPECT_GE(longest, 5u);
}

}  // namespace
}  // namespace egraph
