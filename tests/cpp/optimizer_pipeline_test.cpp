// The reduction pipeline and stage fusion on small graphs whose reduced form
// is known exactly.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <malloc.h>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "optimizer/incremental.h"
#include "optimizer/reduce.h"
#include "optimizer_test_util.h"
#include "sanitized.h"
#include "stop_at.h"

namespace tavrine::opt::testing {
namespace {

struct Reduced {
  std::vector<Node> nodes;
  std::vector<NodeId> marks;
  ReductionReport report;
  std::vector<NodeId> output_ids;
};

Reduced run(const Store& s, std::optional<std::vector<NodeId>> outputs = std::nullopt, bool maximal = false) {
  ReferenceEngine engine;
  std::optional<std::span<const NodeId>> outs;
  if (outputs) outs = std::span<const NodeId>(*outputs);
  auto r = reduce_store(s, outs, maximal, engine);
  if (!r) throw std::runtime_error(r.error().message());
  return Reduced{store_nodes(*r->store), r->store->outputs(), r->report, r->output_ids};
}

ReductionReport report(std::uint64_t in, std::uint64_t reach, std::uint64_t canon, std::uint64_t stages,
                       std::uint64_t boundary) {
  return ReductionReport{in, reach, canon, stages, stages + boundary, boundary};
}

StageMember member(std::string token, std::vector<StageRef> refs) { return StageMember{std::move(token), std::move(refs)}; }

TEST(Fusion, ChainBecomesOneStage) {
  Builder b;
  NodeId s = b.src("s");
  NodeId a = b.op("a", {s});
  NodeId bb = b.op("b", {a});
  NodeId c = b.op("c", {bb});
  b.mark(c);
  Reduced r = run(b.store);
  EXPECT_EQ(r.report, report(4, 4, 4, 1, 1));
  ASSERT_EQ(r.nodes.size(), 2u);
  EXPECT_EQ(r.nodes[0], source_node("s"));
  EXPECT_EQ(r.nodes[1], stage_node({0}, {member("op|a", {in_ref(0)}), member("op|b", {mem_ref(0)}),
                                         member("op|c", {mem_ref(1)})}));
  EXPECT_EQ(r.marks, std::vector<NodeId>{1});
}

// s, a(s), b(a), c(a), d(b, c), only d marked.
void fan_out(Builder& b) {
  NodeId s = b.src("s");
  NodeId a = b.op("a", {s});
  NodeId x = b.op("b", {a});
  NodeId y = b.op("c", {a});
  b.mark(b.op("d", {x, y}));
}

TEST(Fusion, FanOutStaysApartUnderTheSingleUseRule) {
  Builder b;
  fan_out(b);
  Reduced r = run(b.store);
  EXPECT_EQ(r.report, report(5, 5, 5, 2, 1));
  ASSERT_EQ(r.nodes.size(), 3u);
  EXPECT_EQ(r.nodes[1], stage_node({0}, {member("op|a", {in_ref(0)})}));
  EXPECT_EQ(r.nodes[2], stage_node({1}, {member("op|b", {in_ref(0)}), member("op|c", {in_ref(0)}),
                                         member("op|d", {mem_ref(0), mem_ref(1)})}));
  EXPECT_EQ(r.marks, std::vector<NodeId>{2});
}

TEST(Fusion, FanOutJoinsUnderTheMaximalRule) {
  Builder b;
  fan_out(b);
  Reduced r = run(b.store, std::nullopt, true);
  EXPECT_EQ(r.report, report(5, 5, 5, 1, 1));
  ASSERT_EQ(r.nodes.size(), 2u);
  EXPECT_EQ(r.nodes[1], stage_node({0}, {member("op|a", {in_ref(0)}), member("op|b", {mem_ref(0)}),
                                         member("op|c", {mem_ref(0)}), member("op|d", {mem_ref(1), mem_ref(2)})}));
}

TEST(Fusion, OperandUsedTwiceByOneOp) {
  Builder b;
  NodeId s = b.src("s");
  NodeId x = b.op("x", {s});
  b.mark(b.op("mul", {x, x}));
  Reduced single = run(b.store);
  EXPECT_EQ(single.report, report(3, 3, 3, 2, 1));
  ASSERT_EQ(single.nodes.size(), 3u);
  EXPECT_EQ(single.nodes[1], stage_node({0}, {member("op|x", {in_ref(0)})}));
  EXPECT_EQ(single.nodes[2], stage_node({1}, {member("op|mul", {in_ref(0), in_ref(0)})}));

  Reduced maximal = run(b.store, std::nullopt, true);
  EXPECT_EQ(maximal.report, report(3, 3, 3, 1, 1));
  ASSERT_EQ(maximal.nodes.size(), 2u);
  EXPECT_EQ(maximal.nodes[1],
            stage_node({0}, {member("op|x", {in_ref(0)}), member("op|mul", {mem_ref(0), mem_ref(0)})}));
}

TEST(Fusion, MarkedOpMidChainEndsItsStage) {
  for (bool maximal : {false, true}) {
    Builder b;
    NodeId s = b.src("s");
    NodeId a = b.op("a", {s});
    NodeId c = b.op("b", {a});
    b.mark(a);
    b.mark(c);
    Reduced r = run(b.store, std::nullopt, maximal);
    EXPECT_EQ(r.report, report(3, 3, 3, 2, 1));
    ASSERT_EQ(r.nodes.size(), 3u);
    EXPECT_EQ(r.nodes[1], stage_node({0}, {member("op|a", {in_ref(0)})}));
    EXPECT_EQ(r.nodes[2], stage_node({1}, {member("op|b", {in_ref(0)})}));
    EXPECT_EQ(r.marks, (std::vector<NodeId>{1, 2}));
  }
}

TEST(Fusion, BoundaryConsumersAreNotFusedInto) {
  PayloadDescriptor d{"model", "h", "fw", "1", "io", std::nullopt};
  for (bool maximal : {false, true}) {
    for (int k = 0; k < 3; ++k) {
      Builder b;
      NodeId s = b.src("s");
      NodeId a = b.op("a", {s});
      Node consumer = k == 0 ? reduction_node("sum", {a}) : k == 1 ? external_node(d, {a}) : exchange_node({a});
      b.mark(b.add(consumer));
      Reduced r = run(b.store, std::nullopt, maximal);
      EXPECT_EQ(r.report, report(3, 3, 3, 1, 2));
      ASSERT_EQ(r.nodes.size(), 3u);
      EXPECT_EQ(r.nodes[1], stage_node({0}, {member("op|a", {in_ref(0)})}));
      consumer.inputs = {1};
      EXPECT_EQ(r.nodes[2], consumer);
    }
  }
}

TEST(Fusion, LoneMarkedOpAndTwoSourceAdd) {
  Builder b;
  NodeId x = b.src("x");
  NodeId y = b.src("y");
  b.mark(b.op("add", {x, y}));
  Reduced r = run(b.store);
  EXPECT_EQ(r.report, report(3, 3, 3, 1, 2));
  ASSERT_EQ(r.nodes.size(), 3u);
  EXPECT_EQ(r.nodes[2], stage_node({0, 1}, {member("op|add", {in_ref(0), in_ref(1)})}));
}

TEST(Fusion, StageInputsFollowFirstUseAndRepeatedProducersShareASlot) {
  // d(b(y, x), x): stage inputs are [y, x] in order of first use.
  Builder b;
  NodeId x = b.src("x");
  NodeId y = b.src("y");
  NodeId bb = b.op("b", {y, x});
  b.mark(b.op("d", {bb, x}));
  Reduced r = run(b.store);
  ASSERT_EQ(r.nodes.size(), 3u);
  EXPECT_EQ(r.nodes[2], stage_node({1, 0}, {member("op|b", {in_ref(0), in_ref(1)}),
                                            member("op|d", {mem_ref(0), in_ref(1)})}));
}

TEST(Fusion, AFusedStageEqualToARecordedOneIsStoredOnce) {
  // The op a(s) fuses into the Stage [a: input 0] over s, which is exactly the
  // recorded Stage; the result store keeps one, and b reads it.
  Builder b;
  NodeId s = b.src("s");
  NodeId a = b.op("a", {s});
  NodeId recorded = b.add(stage_node({s}, {member("op|a", {in_ref(0)})}));
  NodeId user = b.add(reduction_node("sum", {recorded}));
  b.mark(a);
  b.mark(user);
  Reduced r = run(b.store);
  EXPECT_EQ(r.report, report(4, 4, 4, 1, 3));
  ASSERT_EQ(r.nodes.size(), 3u);
  EXPECT_EQ(r.nodes[1], stage_node({0}, {member("op|a", {in_ref(0)})}));
  EXPECT_EQ(r.nodes[2], reduction_node("sum", {1}));
  EXPECT_EQ(r.marks, (std::vector<NodeId>{1, 2}));
  // Emitted positions 2 and 3 became ids 1 and 2: the output ids are store ids.
  EXPECT_EQ(r.output_ids, (std::vector<NodeId>{1, 2}));
}

TEST(Fusion, ReducingAReducedStoreCreatesNoStage) {
  Builder b;
  fan_out(b);
  for (bool maximal : {false, true}) {
    ReferenceEngine engine;
    auto first = reduce_store(b.store, std::nullopt, maximal, engine);
    ASSERT_TRUE(first);
    Reduced again = run(*first->store, std::nullopt, maximal);
    EXPECT_EQ(again.report.stages, 0u);
    EXPECT_EQ(again.report.boundary_nodes, again.report.reduced_nodes);
    EXPECT_EQ(again.nodes, store_nodes(*first->store));
    EXPECT_EQ(again.marks, first->store->outputs());
  }
}

TEST(Pipeline, NoOutputsGiveAnEmptyStore) {
  Builder b;
  fan_out(b);
  Builder unmarked;
  unmarked.op("f", {unmarked.src("s")});
  Reduced r = run(unmarked.store);
  EXPECT_EQ(r.report, report(2, 0, 0, 0, 0));
  EXPECT_TRUE(r.nodes.empty());
  EXPECT_TRUE(r.marks.empty());
  EXPECT_TRUE(r.output_ids.empty());
  // An explicit empty list ignores the marks.
  Reduced e = run(b.store, std::vector<NodeId>{});
  EXPECT_EQ(e.report, report(5, 0, 0, 0, 0));
  EXPECT_TRUE(e.nodes.empty());
}

TEST(Pipeline, BadOutputIdIsAnErrorAndDoesNoWork) {
  Builder b;
  fan_out(b);
  IdentityEngine engine;
  std::vector<NodeId> outs = {1, 5, 9};
  auto r = reduce_store(b.store, std::span<const NodeId>(outs), false, engine);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "no node with id 5");
  EXPECT_EQ(engine.calls, 0);
  EXPECT_EQ(b.store.node_count(), 5u);
}

TEST(Pipeline, ExplicitOutputsReplaceTheMarks) {
  Builder b;
  NodeId s = b.src("s");
  NodeId a = b.op("a", {s});
  NodeId c = b.op("c", {s});
  b.mark(c);
  Reduced r = run(b.store, std::vector<NodeId>{a});
  EXPECT_EQ(r.report, report(3, 2, 2, 1, 1));
  ASSERT_EQ(r.nodes.size(), 2u);
  EXPECT_EQ(r.nodes[1], stage_node({0}, {member("op|a", {in_ref(0)})}));
  EXPECT_EQ(r.marks, std::vector<NodeId>{1});
}

TEST(Pipeline, DeadNodesCostNothingButTheirCount) {
  Builder b;
  NodeId s = b.src("s");
  NodeId dead_src = b.src("unused");
  b.op("dead", {dead_src, s});
  NodeId live = b.op("neg", {s});
  b.op("dead2", {live});
  b.mark(live);
  Reduced r = run(b.store);
  EXPECT_EQ(r.report, report(5, 2, 2, 1, 1));
  ASSERT_EQ(r.nodes.size(), 2u);
  EXPECT_EQ(r.nodes[0], source_node("s"));
}

TEST(Pipeline, RepeatedAndMergedOutputs) {
  Builder b;
  NodeId x = b.src("x");
  NodeId y = b.src("y");
  NodeId xy = b.op("add", {x, y});
  NodeId yx = b.op("add", {y, x});
  // Reduced outputs 2, 2, 2, 0: the store marks each node once.
  Reduced r = run(b.store, std::vector<NodeId>{yx, xy, xy, x});
  EXPECT_EQ(r.report, report(4, 4, 3, 1, 2));
  EXPECT_EQ(r.marks, (std::vector<NodeId>{2, 0}));
  // The output ids say which node carries each requested output.
  EXPECT_EQ(r.output_ids, (std::vector<NodeId>{2, 2, 2, 0}));
  // The kept node is the earlier one, operands in their recorded order.
  EXPECT_EQ(r.nodes[2], stage_node({0, 1}, {member("op|add", {in_ref(0), in_ref(1)})}));
}

TEST(Pipeline, StructuralDeduplicationRunsAfterTheEngine) {
  // With an engine that merges nothing, equal nodes over nodes that the
  // engine kept apart still stay apart; but the engine's output is deduplicated.
  Builder b;
  NodeId x = b.src("x");
  NodeId f1 = b.op("f", {x});
  NodeId g1 = b.op("g", {f1});
  b.mark(g1);
  IdentityEngine engine;
  auto r = reduce_store(b.store, std::nullopt, false, engine);
  ASSERT_TRUE(r);
  EXPECT_EQ(engine.calls, 1);
  EXPECT_EQ(r->report, report(3, 3, 3, 1, 1));
}

TEST(Pipeline, CongruenceThroughARewriteCountsOnce) {
  // f(x) and f(add0(x)) are one canonical node.
  Builder b;
  NodeId x = b.src("x");
  NodeId id = b.op("add", {x}, add0("r"));
  NodeId f1 = b.op("f", {x});
  NodeId f2 = b.op("f", {id});
  b.mark(f1);
  b.mark(f2);
  Reduced r = run(b.store);
  EXPECT_EQ(r.report, report(4, 4, 2, 1, 1));
  EXPECT_EQ(r.marks, std::vector<NodeId>{1});
  EXPECT_EQ(r.output_ids, (std::vector<NodeId>{1, 1}));
}

TEST(Pipeline, TemplatesKeepEveryFieldOfBoundaryNodes) {
  Builder b;
  NodeId x = b.add(source_node("x|y", params({pi("k", 3), pf("w", -0.0)})));
  PayloadDescriptor d{"k", "h", "fw", "v", "io", std::string("")};
  NodeId e = b.add(external_node(d, {x, x}, params({ps("mode", "a;b")})));
  NodeId r = b.add(reduction_node("sum", {e}, params({pi("axis", 0)})));
  NodeId ex = b.add(exchange_node({r, x}, params({ps("scheme", "tcp")})));
  b.mark(ex);
  Reduced red = run(b.store);
  EXPECT_EQ(red.nodes, store_nodes(b.store));
  EXPECT_EQ(red.report, report(4, 4, 4, 0, 4));
}

TEST(Pipeline, ReportEntriesNameTheSixCounts) {
  auto e = report_entries(report(9, 8, 7, 2, 3));
  std::vector<std::string> names;
  std::vector<std::uint64_t> values;
  for (auto& [n, v] : e) {
    names.push_back(n);
    values.push_back(v);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"input_nodes", "reachable_nodes", "canonical_nodes", "stages",
                                             "reduced_nodes", "boundary_nodes"}));
  EXPECT_EQ(values, (std::vector<std::uint64_t>{9, 8, 7, 2, 5, 3}));
}

TEST(Pipeline, StructuralDeduplicationMatchesANaiveOne) {
  // Random symbol graphs full of duplicates, some nodes with hundreds of
  // consumers, against a map keyed by (symbol, mapped children).
  std::mt19937_64 rng(5);
  for (int round = 0; round < 40; ++round) {
    SymbolGraph g;
    for (int s = 0; s < 4; ++s) g.intern_symbol("s" + std::to_string(s));
    const Pos n = 50 + static_cast<Pos>(rng() % 1500);
    const Pos hub = 3;
    for (Pos i = 0; i < n; ++i) {
      std::vector<Pos> kids;
      const std::size_t k = i == 0 ? 0 : rng() % 3;
      for (std::size_t j = 0; j < k; ++j) {
        const std::uint64_t r = rng() % 10;
        kids.push_back(r < 4 && i > hub ? hub : r < 8 ? i - 1 - static_cast<Pos>(rng() % std::min<Pos>(i, 6))
                                                      : static_cast<Pos>(rng() % i));
      }
      g.add_node(static_cast<std::uint32_t>(rng() % 4), kids, rng() % 2);
      if (rng() % 7 == 0) g.roots.push_back(i);
    }
    SymbolGraph d = dedup_structural(g);

    std::map<std::pair<std::uint32_t, std::vector<Pos>>, Pos> seen;
    std::vector<Pos> to(n);
    std::vector<std::pair<std::uint32_t, std::vector<Pos>>> want;
    for (Pos i = 0; i < n; ++i) {
      std::vector<Pos> kids;
      for (Pos c : g.children_of(i)) kids.push_back(to[c]);
      auto key = std::make_pair(g.symbol_index(i), kids);
      auto [it, fresh] = seen.emplace(key, static_cast<Pos>(want.size()));
      if (fresh) want.push_back(key);
      to[i] = it->second;
    }
    ASSERT_EQ(d.size(), want.size());
    for (Pos i = 0; i < d.size(); ++i) {
      EXPECT_EQ(d.symbol_index(i), want[i].first);
      auto ch = d.children_of(i);
      EXPECT_EQ(std::vector<Pos>(ch.begin(), ch.end()), want[i].second);
    }
    std::vector<Pos> roots;
    for (Pos r : g.roots) roots.push_back(to[r]);
    EXPECT_EQ(d.roots, roots);
  }
}

TEST(Pipeline, DeepChainNeedsNoRecursion) {
  Builder b;
  NodeId last = b.src("s");
  for (int i = 0; i < 200000; ++i) last = b.op(i % 2 ? "neg" : "abs", {last});
  b.mark(last);
  IdentityEngine engine;
  auto r = reduce_store(b.store, std::nullopt, false, engine);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->report, report(200001, 200001, 200001, 1, 1));
  Snapshot out = r->store->snapshot();
  EXPECT_EQ(out.node(1).members().size(), 200000u);
}

// ---- stopping and failing ---------------------------------------------------

// A graph whose reduction asks questions in every phase.
void record_big(Builder& b) {
  RandomGraph gen(99);
  const std::vector<Node> nodes = gen.generate({12000, true, false});
  fill_store(b.store, nodes, nodes.size());
  for (NodeId o : gen.outputs(nodes, false)) b.mark(o);
}

// The big graph in a store, what the store held, and its plain reduction
// (kept alive, so that its memory is not free for a later reduction to
// reuse): what a stopped or failed reduction is compared with.
struct BigStore {
  Builder b;
  std::vector<Node> nodes = (record_big(b), store_nodes(b.store));
  std::vector<NodeId> marks = b.store.outputs();
  decltype(reduce_store(b.store, std::nullopt, false)) plain = reduce_store(b.store, std::nullopt, false);
  std::vector<Node> reduced = plain ? store_nodes(*plain->store) : std::vector<Node>{};
};

// The questions worth asking about: every one of the first few, then a
// sample up to the last.
std::vector<std::uint64_t> questions(std::uint64_t total) {
  std::vector<std::uint64_t> ks;
  for (std::uint64_t k = 1; k <= total; k += k < 8 ? 1 : 1 + total / 32) ks.push_back(k);
  if (ks.back() != total) ks.push_back(total);
  return ks;
}

TEST(Stopping, AnInterruptStopsAReductionAtAnyQuestionAndChangesNothing) {
  BigStore big;
  auto& [b, nodes, marks, plain, reduced] = big;
  ASSERT_TRUE(plain);
  test::StopAt never(0);
  auto asked = reduce_store(b.store, std::nullopt, false, nullptr, &never);
  ASSERT_TRUE(asked);
  EXPECT_EQ(store_nodes(*asked->store), reduced);
  EXPECT_EQ(asked->report, plain->report);
  ASSERT_GT(never.asked, 20u);
  for (std::uint64_t k : questions(never.asked)) {
    test::StopAt stop(k);
    EXPECT_THROW((void)reduce_store(b.store, std::nullopt, false, nullptr, &stop), Interrupted) << k;
    EXPECT_EQ(stop.asked, k);
  }
  EXPECT_EQ(store_nodes(b.store), nodes);
  EXPECT_EQ(b.store.outputs(), marks);
}

TEST(Stopping, AnInterruptedFinalizeLeavesAUsableReducer) {
  Builder b;
  record_big(b);
  IncrementalReducer fresh;
  auto want = fresh.finalize(b.store, std::nullopt, false);
  ASSERT_TRUE(want);
  IncrementalReducer r;
  ASSERT_TRUE(r.step(b.store));  // so that every finalize below asks the same questions
  test::StopAt never(0);
  ASSERT_TRUE(r.finalize(b.store, std::nullopt, false, &never));
  for (std::uint64_t k : questions(never.asked)) {
    test::StopAt stop(k);
    EXPECT_THROW((void)r.finalize(b.store, std::nullopt, false, &stop), Interrupted) << k;
  }
  EXPECT_EQ(r.watermark(), b.store.node_count());
  auto got = r.finalize(b.store, std::nullopt, false);
  ASSERT_TRUE(got);
  EXPECT_EQ(store_nodes(*got->store), store_nodes(*want->store));
  EXPECT_EQ(got->store->outputs(), want->store->outputs());
}

#ifndef TAVRINE_TEST_SANITIZED
// Sanitizers reserve the address space an address-space limit would count, so
// this runs in the plain builds only.
TEST(Failing, AFailedAllocationIsBadAllocAndChangesNothing) {
  BigStore big;
  auto& [b, nodes, marks, plain, want] = big;
  ASSERT_TRUE(plain);
  // In a child, under a limit of `extra` bytes more address space than the
  // child holds: 0 when the reduction completes, 1 when it throws bad_alloc
  // and afterwards (limit lifted) the store is unchanged and reduces as
  // before, 2 when the store or a later reduction differs, 3 on any other
  // failure.
  auto reduce_under_limit = [&](std::size_t extra) {
    const pid_t pid = fork();
    if (pid == 0) {
      // Blocks of more than a page come from fresh mappings, not from memory
      // the test process has freed before, so that the limit bites.
      mallopt(M_MMAP_THRESHOLD, 4096);
      long pages = 0;
      if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
        std::fclose(f);
      }
      rlimit lim{};
      getrlimit(RLIMIT_AS, &lim);
      const rlim_t hard = lim.rlim_max;
      const rlim_t held = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
      // Small blocks that earlier tests of this process freed stay in its
      // heap and would serve the reduction without growing the address
      // space. So, with no room to grow, they are all taken first.
      lim.rlim_cur = held;
      if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(3);
      void* volatile taken = nullptr;  // volatile: the blocks must really be taken
      for (std::size_t size = 4096; size >= 16; size /= 2) {
        do {
          taken = std::malloc(size);
        } while (taken != nullptr);
      }
      lim.rlim_cur = held + extra;
      if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(3);
      int code = 3;
      try {
        (void)reduce_store(b.store, std::nullopt, false);
        code = 0;
      } catch (const std::bad_alloc&) {
        code = 1;
      } catch (...) {
        code = 3;
      }
      lim.rlim_cur = hard;
      setrlimit(RLIMIT_AS, &lim);
      if (code == 1) {
        auto again = reduce_store(b.store, std::nullopt, false);
        if (store_nodes(b.store) != nodes || b.store.outputs() != marks || !again ||
            store_nodes(*again->store) != want) {
          code = 2;
        }
      }
      _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 4;
  };
  int failed = 0;
  for (std::size_t extra = std::size_t{1} << 16; extra <= std::size_t{1} << 30; extra += extra / 2) {
    const int code = reduce_under_limit(extra);
    ASSERT_TRUE(code == 0 || code == 1) << "limit " << extra << ": outcome " << code;
    failed += code == 1;
    if (code == 0) break;
  }
  EXPECT_GT(failed, 3);
}
#endif

}  // namespace
}  // namespace tavrine::opt::testing
