// The runner's limits, iteration records, saturation and the backoff scheduler.
#include <gtest/gtest.h>

#include <string>

#include "egraph/egraph.h"
#include "stop_at.h"
#include "test_symbols.h"

namespace egraph {
namespace {

using test::S;

Rewrite rule(std::string_view name, std::string_view lhs, std::string_view rhs) {
  return test::make_rule(name, test::P(lhs), test::P(rhs));
}

// n distinct add(x_i, y_i) nodes: commute-add finds n matches.
EGraph adds(int n) {
  EGraph g;
  for (int i = 0; i < n; ++i) {
    const ClassId x = g.add(SymbolLang(S("x" + std::to_string(i))));
    const ClassId y = g.add(SymbolLang(S("y" + std::to_string(i))));
    g.add(SymbolLang(S("op|add"), {x, y}));
  }
  return g;
}

TEST(Runner, DefaultsMatchTheEngineSettings) {
  Runner r;
  r.run({});
  EXPECT_EQ(r.stop_reason()->kind, StopKind::Saturated);
  // The default iteration limit (30) shows through a run that never saturates.
  Runner grow;
  EGraph g;
  g.add(SymbolLang(S("s"), {g.add(SymbolLang(S("z")))}));
  grow.with_egraph(std::move(g)).run({rule("grow", "(s ?x)", "(s (t ?x))")});
  EXPECT_EQ(*grow.stop_reason(), StopReason::iteration_limit(30));
  // ... and the default node limit (10000) through one that grows fast.
  Runner wide;
  wide.with_egraph(adds(2000)).run({rule("wrap", "(op|add ?a ?b)", "(op|add (w ?a) (w ?b))")});
  EXPECT_EQ(wide.stop_reason()->kind, StopKind::NodeLimit);
  EXPECT_GT(wide.stop_reason()->count, 10000u);
}

TEST(Runner, EmptyRuleListSaturatesInOneIteration) {
  Runner r;
  r.with_egraph(adds(3)).run({});
  ASSERT_EQ(r.iterations().size(), 1u);
  EXPECT_EQ(*r.stop_reason(), StopReason::saturated());
  EXPECT_EQ(r.iterations()[0].stop_reason, StopReason::saturated());
  EXPECT_EQ(r.iterations()[0].egraph_nodes, 9u);
  EXPECT_EQ(r.iterations()[0].egraph_classes, 9u);
  EXPECT_TRUE(r.egraph().is_clean());
}

TEST(Runner, IterationLimitAfterTwelveIterations) {
  EGraph g;
  g.add(SymbolLang(S("s"), {g.add(SymbolLang(S("z")))}));
  Runner r;
  // Two new nodes per iteration (t(t(...(z))) and s over it): never saturates, stays small.
  r.with_egraph(std::move(g)).with_iter_limit(12).with_node_limit(1000).run({rule("grow", "(s ?x)", "(s (t ?x))")});
  EXPECT_EQ(*r.stop_reason(), StopReason::iteration_limit(12));
  ASSERT_EQ(r.iterations().size(), 12u);
  for (const IterationRecord& it : r.iterations()) EXPECT_FALSE(it.stop_reason.has_value());
  EXPECT_EQ(r.iterations()[0].egraph_nodes, 2u);
  EXPECT_GT(r.iterations()[11].egraph_nodes, r.iterations()[10].egraph_nodes);
}

TEST(Runner, NodeLimitStopsAfterTheApplyThatCrossesIt) {
  Runner r;
  r.with_egraph(adds(100)).with_node_limit(350).run({rule("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)")});
  // 300 nodes + 100 swapped adds = 400 > 350, noticed right after the apply.
  EXPECT_EQ(*r.stop_reason(), StopReason::node_limit(400));
  ASSERT_EQ(r.iterations().size(), 1u);
  const IterationRecord& it = r.iterations()[0];
  EXPECT_EQ(it.stop_reason, StopReason::node_limit(400));
  ASSERT_EQ(it.applied.size(), 1u);
  EXPECT_EQ(it.applied[0], std::make_pair(S("commute-add"), std::size_t{100}));
  // The e-graph was still rebuilt.
  EXPECT_TRUE(r.egraph().is_clean());
}

TEST(Runner, NodeLimitAtTheStartSkipsSearchAndApply) {
  Runner r;
  r.with_egraph(adds(10)).with_node_limit(5).run({rule("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)")});
  EXPECT_EQ(*r.stop_reason(), StopReason::node_limit(30));
  ASSERT_EQ(r.iterations().size(), 1u);
  EXPECT_TRUE(r.iterations()[0].applied.empty());
  EXPECT_EQ(r.scheduler().stats(S("commute-add")), nullptr);  // never searched
}

TEST(Runner, BanFastForwardAndDoubledThreshold) {
  Runner r;
  r.with_egraph(adds(1001)).with_iter_limit(12).with_node_limit(100000).run(
      {rule("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)")});
  const auto& its = r.iterations();
  ASSERT_GE(its.size(), 2u);
  // Iteration 0: 1001 matches > 1000: banned, nothing applied; can_stop fast-forwards the
  // ban so iteration 1 searches it again, with threshold 2000, and applies all 1001.
  EXPECT_TRUE(its[0].applied.empty());
  EXPECT_FALSE(its[0].stop_reason.has_value());
  ASSERT_EQ(its[1].applied.size(), 1u);
  EXPECT_EQ(its[1].applied[0].second, 1001u);
  // Iteration 2: now 2002 matches > 2000: banned again and fast-forwarded; iteration 3
  // (threshold 4000) finds them all, merges nothing new, and the run saturates.
  ASSERT_EQ(its.size(), 4u);
  EXPECT_TRUE(its[2].applied.empty());
  EXPECT_TRUE(its[3].applied.empty());
  const RuleStats* s = r.scheduler().stats(S("commute-add"));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->times_banned, 2u);
  EXPECT_EQ(s->times_applied, 2u);
  EXPECT_EQ(*r.stop_reason(), StopReason::saturated());
}

TEST(Scheduler, BanLengthsAndThresholdsDouble) {
  BackoffScheduler sched;
  EGraph g = adds(1001);
  g.rebuild();
  const Rewrite r = rule("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)");
  EXPECT_EQ(sched.search_rewrite(0, g, r).total(), 0u);  // banned
  const RuleStats* s = sched.stats(S("commute-add"));
  EXPECT_EQ(s->banned_until, 5u);
  EXPECT_EQ(s->times_banned, 1u);
  EXPECT_EQ(s->times_applied, 0u);
  EXPECT_EQ(s->match_limit, 1000u);
  EXPECT_EQ(s->ban_length, 5u);
  for (std::size_t i = 1; i < 5; ++i) EXPECT_EQ(sched.search_rewrite(i, g, r).total(), 0u);  // skipped
  EXPECT_EQ(s->times_applied, 0u);
  EXPECT_EQ(sched.search_rewrite(5, g, r).total(), 1001u);  // threshold 2000 now
  EXPECT_EQ(s->times_applied, 1u);
  EXPECT_TRUE(sched.can_stop(5));

  // A second ban lasts 10 iterations, and can_stop fast-forwards it to the current one.
  BackoffScheduler small(1, 5);
  EXPECT_EQ(small.search_rewrite(0, g, r).total(), 0u);  // 2 > 1
  const RuleStats* t = small.stats(S("commute-add"));
  EXPECT_EQ(t->banned_until, 5u);
  EXPECT_FALSE(small.can_stop(0));
  EXPECT_EQ(t->banned_until, 0u);
  EXPECT_EQ(small.search_rewrite(0, g, r).total(), 0u);  // 3 > 2
  EXPECT_EQ(t->banned_until, 10u);
  EXPECT_EQ(t->times_banned, 2u);
  EXPECT_FALSE(small.can_stop(3));
  EXPECT_EQ(t->banned_until, 3u);
  EXPECT_TRUE(small.can_stop(3));
}

TEST(Scheduler, CanStopUnbansOnlyTheEarliest) {
  EGraph g = adds(10);
  g.rebuild();
  BackoffScheduler sched(1, 5);
  const Rewrite a = rule("a", "(op|add ?a ?b)", "(op|add ?b ?a)");
  const Rewrite b = rule("b", "(op|add ?x ?y)", "(op|add ?y ?x)");
  sched.search_rewrite(0, g, a);  // banned until 5
  sched.search_rewrite(2, g, b);  // banned until 7
  EXPECT_FALSE(sched.can_stop(3));
  EXPECT_EQ(sched.stats(S("a"))->banned_until, 3u);
  EXPECT_EQ(sched.stats(S("b"))->banned_until, 5u);
}

TEST(Runner, DuplicateRuleNamesWarnAndShareStats) {
  testing::internal::CaptureStderr();
  Runner r;
  r.with_egraph(adds(2)).run({rule("same", "(op|add ?a ?b)", "(op|add ?b ?a)"),
                              rule("same", "(op|add ?x ?y)", "(op|add ?y ?x)"), rule("other", "(q ?x)", "?x"),
                              rule("same", "(op|add ?x ?y)", "(op|add ?y ?x)")});
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err,
            "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n"
            "Rule 'same' appears 3 times\n");
  EXPECT_EQ(r.scheduler().all_stats().size(), 2u);
  EXPECT_EQ(r.stop_reason()->kind, StopKind::Saturated);

  testing::internal::CaptureStderr();
  Runner quiet;
  quiet.with_egraph(adds(2)).run({rule("one", "(op|add ?a ?b)", "(op|add ?b ?a)")});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// Numbers texts itself, by first arrival.
class LocalSymbols final : public SymbolSource {
 public:
  Symbol symbol(std::string_view text) override {
    for (std::size_t k = 0; k < texts.size(); ++k) {
      if (texts[k] == text) return Symbol::from_value(static_cast<std::uint32_t>(k + 1));
    }
    texts.emplace_back(text);
    return Symbol::from_value(static_cast<std::uint32_t>(texts.size()));
  }
  std::vector<std::string> texts;
};

TEST(Runner, RulesReadAgainstANumberingOfTheirOwnLeaveOtherNumberingsAlone) {
  LocalSymbols local;
  auto local_rule = [&](std::string_view name, std::string_view lhs, std::string_view rhs) {
    return Rewrite::make_or_panic(name, Pattern::parse_or_panic(lhs, local), Pattern::parse_or_panic(rhs, local),
                                  local);
  };
  const std::size_t numbered = test::symbols().size();
  EGraph g;
  const ClassId a = g.add(SymbolLang(local.symbol("local|a")));
  const ClassId b = g.add(SymbolLang(local.symbol("local|b")));
  const ClassId ab = g.add(SymbolLang(local.symbol("local|plus"), {a, b}));
  const ClassId ba = g.add(SymbolLang(local.symbol("local|plus"), {b, a}));
  testing::internal::CaptureStderr();
  Runner r;
  r.with_egraph(std::move(g))
      .run({local_rule("local-swap", "(local|plus ?a ?b)", "(local|plus ?b ?a)"),
            local_rule("local-swap", "(local|plus ?x ?y)", "(local|plus ?y ?x)")});
  // Rule names print as their texts.
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n"
            "Rule 'local-swap' appears 2 times\n");
  EXPECT_EQ(r.egraph().find(ab), r.egraph().find(ba));
  auto unbound = Rewrite::make("local-bad", Pattern::parse_or_panic("(local|f ?a)", local),
                               Pattern::parse_or_panic("?zz", local), local);
  ASSERT_FALSE(unbound.has_value());
  EXPECT_EQ(unbound.error(), "Rewrite local-bad refers to unbound var ?zz");
  EXPECT_EQ(test::symbols().size(), numbered);
}

TEST(Runner, AnInterruptStopsTheRunAtAnyQuestion) {
  // Enough classes that search, apply and rebuild each ask inside their loops.
  const std::vector<Rewrite> rules = {rule("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)"),
                                      rule("unwrap", "(w ?x)", "?x")};
  auto run = [&](tavrine::Interrupt* interrupt) {
    EGraph g = adds(9000);
    for (int i = 0; i < 3000; ++i) g.add(SymbolLang(S("w"), {static_cast<ClassId>(3 * i)}));
    Runner r;
    r.with_egraph(std::move(g)).with_interrupt(interrupt).with_node_limit(100000);
    r.with_scheduler(BackoffScheduler(100000, 5)).run(rules);
    return r.egraph().number_of_classes();
  };
  tavrine::test::StopAt never(0);
  const std::size_t classes = run(&never);
  EXPECT_EQ(classes, run(nullptr));
  ASSERT_GT(never.asked, 10u);
  for (std::uint64_t k = 1; k <= never.asked; ++k) {
    tavrine::test::StopAt stop(k);
    EXPECT_THROW(run(&stop), tavrine::Interrupted) << k;
    EXPECT_EQ(stop.asked, k);
  }
}

TEST(Runner, TimeLimitInsideTheSearchPhaseSkipsTheRest) {
  // Many candidate classes for the first rule but no match: its search is long and the
  // deadline, checked inside the search, fires there.
  EGraph g;
  for (int i = 0; i < 400000; ++i) g.add(SymbolLang(S("f"), {g.add(SymbolLang(S("leaf" + std::to_string(i))))}));
  Runner r;
  r.with_egraph(std::move(g))
      .with_node_limit(10000000)
      .with_time_limit(std::chrono::microseconds(300))
      .run({rule("nested", "(f (g ?x))", "?x"), rule("second", "(f ?x)", "(h ?x)")});
  ASSERT_EQ(r.stop_reason()->kind, StopKind::TimeLimit);
  EXPECT_GT(r.stop_reason()->seconds, 0.0003);
  ASSERT_EQ(r.iterations().size(), 1u);
  EXPECT_TRUE(r.iterations()[0].applied.empty());
  EXPECT_EQ(r.scheduler().stats(S("second")), nullptr);  // never searched
}

TEST(Runner, AStopAtTheStartOfAnIterationIsRecordedInIt) {
  // The limits are checked before the first search too: an iteration limit of 0 ends the
  // run in its first iteration, which is recorded with the stop and nothing searched.
  Runner r;
  r.with_egraph(adds(2)).with_iter_limit(0).run({rule("grow", "?x", "(s ?x)")});
  EXPECT_EQ(*r.stop_reason(), StopReason::iteration_limit(0));
  ASSERT_EQ(r.iterations().size(), 1u);
  const IterationRecord& it = r.iterations()[0];
  EXPECT_EQ(it.stop_reason, StopReason::iteration_limit(0));
  EXPECT_EQ(it.egraph_nodes, 6u);
  EXPECT_TRUE(it.applied.empty());
  EXPECT_EQ(r.scheduler().stats(S("grow")), nullptr);  // never searched
  EXPECT_EQ(r.egraph().total_size(), 6u);
  EXPECT_TRUE(r.egraph().is_clean());
}

TEST(Runner, RunTwiceIsAPanicAndTakeEgraphMoves) {
  Runner r;
  r.with_egraph(adds(1)).run({});
  EXPECT_THROW(r.run({}), tavrine::Panic);
  EGraph g = r.take_egraph();
  EXPECT_EQ(g.total_size(), 3u);
}

}  // namespace
}  // namespace egraph
