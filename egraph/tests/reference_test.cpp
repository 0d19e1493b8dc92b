// Property tests: the engine against the literal reference model on random operation
// sequences. Agreement is exact: class ids, sizes, merge counts, node lists and matches.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "egraph/egraph.h"
#include "test_symbols.h"
#include "reference_model.h"

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

void expect_same(const EGraph& g, const RefGraph& r, const std::string& where) {
  SCOPED_TRACE(where);
  ASSERT_EQ(g.number_of_ids(), r.number_of_ids());
  ASSERT_EQ(g.total_size(), r.total_size());
  ASSERT_EQ(g.number_of_classes(), r.number_of_classes());
  ASSERT_EQ(g.is_clean(), r.is_clean());
  for (ClassId i = 0; i < g.number_of_ids(); ++i) ASSERT_EQ(g.find(i), r.find(i)) << "id " << i;
  std::vector<ClassId> ref_ids;
  for (const auto& [id, cls] : r.classes()) {
    ref_ids.push_back(id);
    ASSERT_EQ(g.class_nodes(id), cls.nodes) << "class " << id;
    const auto parents = g.class_parents(id);
    ASSERT_EQ(parents.size(), cls.parents.size()) << "class " << id;
    for (std::size_t k = 0; k < parents.size(); ++k) {
      ASSERT_EQ(parents[k].second, cls.parents[k].second) << "class " << id << " parent " << k;
      // Our parent nodes may already be canonicalized; they must agree up to find.
      ASSERT_EQ(r.canon(parents[k].first), r.canon(cls.parents[k].first));
    }
  }
  ASSERT_EQ(g.class_ids(), ref_ids);
}

void expect_same_matches(const MatchSet& m, const RefMatches& r, bool ordered) {
  ASSERT_EQ(m.vars, r.vars);
  ASSERT_EQ(m.total(), r.total());
  ASSERT_EQ(m.num_groups(), r.groups.size());
  for (std::size_t g = 0; g < m.num_groups(); ++g) {
    ASSERT_EQ(m.classes[g], r.groups[g].first);
    std::vector<reference::Row> mine;
    for (std::size_t s = m.group_begin(g); s < m.group_end[g]; ++s) {
      const auto row = m.row(s);
      mine.emplace_back(row.begin(), row.end());
    }
    auto theirs = r.groups[g].second;
    if (!ordered) {
      std::sort(mine.begin(), mine.end());
      std::sort(theirs.begin(), theirs.end());
    }
    ASSERT_EQ(mine, theirs) << "group " << g;
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
        const SymbolLang n = random_node(rng, v, g.number_of_ids());
        ASSERT_EQ(g.add(n), r.add(n));
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
      const SymbolLang n = random_node(rng, v, g.number_of_ids());
      ASSERT_EQ(g.add(n), r.add(n));
    }
    for (int round = 0; round < 6; ++round) {
      ASSERT_EQ(g.rebuild(), r.rebuild());
      expect_same(g, r, "seed " + std::to_string(seed) + " round " + std::to_string(round));
      if (testing::Test::HasFatalFailure()) return;
      for (const char* text : flat) {
        const Pattern p = test::P(text);
        const std::size_t limit = rng() % 3 == 0 ? rng() % 10 : ~std::size_t{0};
        SCOPED_TRACE(std::string(text) + " limit " + std::to_string(limit));
        expect_same_matches(p.search_with_limit(g, limit), reference::ref_search(r, p, limit), true);
        if (testing::Test::HasFatalFailure()) return;
      }
      for (const char* text : nested) {
        const Pattern p = test::P(text);
        SCOPED_TRACE(text);
        expect_same_matches(p.search(g), reference::ref_search(r, p, ~std::size_t{0}), false);
        if (testing::Test::HasFatalFailure()) return;
      }
      // Apply one rule with matches in the same (flat-order) form to both.
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
          const auto row = m.row(s);
          rows.emplace_back(row.begin(), row.end());
        }
        rm.groups.emplace_back(m.classes[grp], std::move(rows));
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
  StopKind stop = StopKind::Other;
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
    const SymbolLang n = random_node(rng, v, g.number_of_ids());
    ASSERT_EQ(g.add(n), r.add(n));
  }
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
  expect_same(runner.egraph(), ref.graph(), "final");
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
