// The incremental reducer: what each step folds into the canonical form, the
// counters, finalize, and poisoning.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "optimizer/incremental.h"
#include "optimizer_test_util.h"

namespace tavrine::opt::testing {
namespace {

std::uint64_t step(IncrementalReducer& r, const Store& s) {
  auto n = r.step(s);
  if (!n) throw std::runtime_error(n.error().message());
  return *n;
}

ReductionResult finalize(IncrementalReducer& r, const Store& s, std::optional<std::vector<NodeId>> outs = std::nullopt,
                         bool maximal = false) {
  ReferenceEngine engine;
  std::optional<std::span<const NodeId>> o;
  if (outs) o = std::span<const NodeId>(*outs);
  auto res = r.finalize(s, o, maximal, engine);
  if (!res) throw std::runtime_error(res.error().message());
  return std::move(*res);
}

TEST(Incremental, FreshReducerIsEmpty) {
  IncrementalReducer r;
  EXPECT_EQ(r.watermark(), 0u);
  EXPECT_EQ(r.total_work(), 0u);
  EXPECT_EQ(r.canonical_count(), 0u);
  Store empty;
  EXPECT_EQ(step(r, empty), 0u);
}

TEST(Incremental, StepsConsumeOnlyTheDelta) {
  Builder b;
  IncrementalReducer one_by_one;
  NodeId last = b.src("s");
  EXPECT_EQ(step(one_by_one, b.store), 1u);
  for (int i = 0; i < 4; ++i) {
    last = b.op("f" + std::to_string(i), {last});
    EXPECT_EQ(step(one_by_one, b.store), 1u);
  }
  EXPECT_EQ(one_by_one.watermark(), 5u);
  EXPECT_EQ(one_by_one.total_work(), 5u);
  EXPECT_EQ(step(one_by_one, b.store), 0u);
  EXPECT_EQ(one_by_one.total_work(), 5u);

  IncrementalReducer at_once;
  EXPECT_EQ(step(at_once, b.store), 5u);
  EXPECT_EQ(at_once.watermark(), 5u);
  EXPECT_EQ(at_once.total_work(), 5u);
  EXPECT_EQ(at_once.canonical_count(), 5u);
}

TEST(Incremental, IdentityOpsStandForTheirOnlyInput) {
  for (ParamMap p : {add0("r"), add0("l"), mul1("r"), mul1("l")}) {
    Builder b;
    NodeId x = b.src("x");
    b.op(p.entries[0].value.as_float() == 0.0 ? "add" : "mul", {x}, p);
    IncrementalReducer r;
    step(r, b.store);
    EXPECT_EQ(r.canonical_count(), 1u);
    EXPECT_EQ(r.watermark(), 2u);
  }
  Builder b;
  NodeId x = b.src("x");
  b.op("add", {x}, params({pf("scalar", 1.0), ps("side", "r")}));
  IncrementalReducer r;
  step(r, b.store);
  EXPECT_EQ(r.canonical_count(), 2u);
}

TEST(Incremental, IdentitySymbolWithOtherArityIsAnOrdinaryNode) {
  // Only a one-input identity op equals its input; add0(x, y) is not x.
  Builder b;
  NodeId x = b.src("x"), y = b.src("y");
  NodeId two = b.op("add", {x, y}, add0("r"));
  NodeId none = b.op("add", {}, add0("r"));
  b.mark(two);
  b.mark(none);
  IncrementalReducer r;
  EXPECT_EQ(step(r, b.store), 4u);
  EXPECT_EQ(r.canonical_count(), 4u);
  ReductionResult res = finalize(r, b.store);
  EXPECT_EQ(res.report.stages, 2u);
  EXPECT_EQ(res.report.canonical_nodes, 4u);
  // Still usable: nothing was poisoned.
  EXPECT_EQ(r.watermark(), 4u);
}

TEST(Incremental, CommutedTwinsShareACanonicalId) {
  for (std::string_view w : kCommutativeWords) {
    Builder b;
    NodeId a = b.src("a"), c = b.src("b");
    b.op(std::string(w), {c, a});
    b.op(std::string(w), {a, c});
    IncrementalReducer r;
    step(r, b.store);
    EXPECT_EQ(r.canonical_count(), 3u) << w;
  }
  Builder b;
  NodeId a = b.src("a"), c = b.src("b");
  b.op("sub", {a, c});
  b.op("sub", {c, a});
  b.op("add", {a, c}, params({pi("k", 1)}));
  b.op("add", {c, a}, params({pi("k", 1)}));
  b.op("add", {a, a});
  b.op("add", {a, a, c});
  b.op("add", {c, a, a});
  IncrementalReducer r;
  step(r, b.store);
  EXPECT_EQ(r.canonical_count(), 9u);
}

TEST(Incremental, NodesEqualAfterMappingShareAnId) {
  Builder b;
  NodeId x = b.src("x");
  NodeId id = b.op("add", {x}, add0("r"));
  NodeId f1 = b.op("f", {x});
  NodeId f2 = b.op("f", {id});
  IncrementalReducer r;
  step(r, b.store);
  EXPECT_EQ(r.canonical_count(), 2u);
  ReductionResult res = finalize(r, b.store, std::vector<NodeId>{f2, f1});
  EXPECT_EQ(res.store->outputs(), std::vector<NodeId>{1});
  EXPECT_EQ(res.report.input_nodes, 2u);
}

TEST(Incremental, FinalizeUsesMarksOrExactlyTheGivenOutputs) {
  // A store with marks [3, 1], as a blob read would give.
  Builder b;
  NodeId s = b.src("s");
  NodeId a = b.op("a", {s});
  b.op("dead", {s});
  NodeId c = b.op("c", {a});
  b.mark(c);
  b.mark(a);
  IncrementalReducer r;
  ReductionResult marked = finalize(r, b.store);
  EXPECT_EQ(marked.report.input_nodes, 4u);
  EXPECT_EQ(marked.report.reachable_nodes, 3u);
  EXPECT_EQ(marked.store->outputs(), (std::vector<NodeId>{2, 1}));
  EXPECT_EQ(marked.output_ids, (std::vector<NodeId>{2, 1}));

  ReductionResult only_a = finalize(r, b.store, std::vector<NodeId>{a});
  EXPECT_EQ(only_a.report.reachable_nodes, 2u);
  EXPECT_EQ(only_a.store->outputs(), std::vector<NodeId>{1});
  // Outputs the canonical form merged (an identity over a) keep one entry each.
  const NodeId a0 = b.op("add", {a}, add0("r"));
  ReductionResult twice = finalize(r, b.store, std::vector<NodeId>{a0, c, a});
  EXPECT_EQ(twice.store->outputs(), (std::vector<NodeId>{1, 2}));
  EXPECT_EQ(twice.output_ids, (std::vector<NodeId>{1, 2, 1}));

  Builder unmarked;
  unmarked.src("s");
  IncrementalReducer r2;
  ReductionResult none = finalize(r2, unmarked.store);
  EXPECT_EQ(none.report.reachable_nodes, 0u);
  EXPECT_EQ(none.store->node_count(), 0u);
}

TEST(Incremental, FinalizeWithABadOutputChangesNothing) {
  Builder b;
  b.src("s");
  IncrementalReducer r;
  ReferenceEngine engine;
  std::vector<NodeId> outs = {0, 1};
  auto res = r.finalize(b.store, std::span<const NodeId>(outs), false, engine);
  ASSERT_FALSE(res);
  EXPECT_EQ(res.error().message(), "no node with id 1");
  EXPECT_EQ(r.watermark(), 0u);
  EXPECT_EQ(r.total_work(), 0u);
}

TEST(Incremental, FinalizeDoesNotResetTheReducer) {
  Builder b;
  NodeId s = b.src("s");
  b.mark(b.op("a", {s}));
  IncrementalReducer r;
  finalize(r, b.store);
  EXPECT_EQ(r.total_work(), 2u);
  b.mark(b.op("c", {s}));
  EXPECT_EQ(step(r, b.store), 1u);
  b.mark(b.op("d", {s}));
  ReductionResult res = finalize(r, b.store);
  EXPECT_EQ(r.total_work(), 4u);
  EXPECT_EQ(r.watermark(), 4u);
  EXPECT_EQ(res.report.stages, 3u);
}

TEST(Incremental, BindsToTheFirstStoreAndRefusesOthersWithoutChange) {
  Builder big;
  NodeId s = big.src("s");
  big.mark(big.op("f", {s}));
  IncrementalReducer r;
  Builder other;
  other.src("t");
  other.src("u");
  other.src("v");
  other.op("h", {0, 1, 2});
  // A failed first call binds nothing: the first store a call succeeds with does.
  const std::vector<NodeId> bad{7};
  EXPECT_FALSE(r.finalize(other.store, std::span<const NodeId>(bad), false));
  step(r, big.store);
  EXPECT_FALSE(r.finalize(other.store, std::nullopt, false));
  auto err = r.step(other.store);
  ASSERT_FALSE(err);
  EXPECT_EQ(err.error().kind, ReducerError::Kind::ForeignStore);
  EXPECT_EQ(err.error().message(),
            "reducer is bound to another store: an IncrementalReducer serves only the store it was first fed");
  EXPECT_EQ(r.watermark(), 2u);
  EXPECT_EQ(r.canonical_count(), 2u);
  // Still usable with its own store, which it only knows by number.
  big.op("g", {s});
  EXPECT_EQ(step(r, big.store), 1u);
  ReductionResult res = finalize(r, big.store);
  EXPECT_EQ(res.report.input_nodes, 3u);
  // Two stores alive at the same time never share a number.
  std::vector<std::uint64_t> serials;
  std::vector<std::unique_ptr<Store>> stores;
  for (int i = 0; i < 100; ++i) stores.push_back(std::make_unique<Store>());
  for (const auto& st : stores) serials.push_back(st->serial());
  std::sort(serials.begin(), serials.end());
  EXPECT_EQ(std::unique(serials.begin(), serials.end()), serials.end());
}

// An engine that breaks, standing in for an internal failure during finalize.
class FailingEngine final : public RewriteEngine {
 public:
  SymbolGraph canonicalize(const SymbolGraph&) override { throw Panic("engine failed"); }
};

class StopNow final : public Interrupt {
 public:
  bool stop_requested() noexcept override { return true; }
};

class OutOfMemoryEngine final : public RewriteEngine {
 public:
  SymbolGraph canonicalize(const SymbolGraph&) override { throw std::bad_alloc(); }
};

// A finalize that cannot finish gives back what it consumed: the reducer is
// where the call found it, not poisoned, and reduces as if nothing happened.
TEST(Incremental, AnInterruptedOrFailedFinalizeLeavesTheReducerAsItWas) {
  RandomGraph gen(5);
  std::vector<Node> nodes = gen.generate({300, true, true});
  Store store;
  fill_store(store, nodes, 150);
  IncrementalReducer r;
  step(r, store);
  const std::uint64_t canonical = r.canonical_count();
  fill_store(store, nodes, nodes.size());
  const std::vector<NodeId> outs = gen.outputs(nodes, true);
  StopNow stop;
  EXPECT_THROW((void)r.finalize(store, std::span<const NodeId>(outs), false, &stop), Interrupted);
  OutOfMemoryEngine oom;
  EXPECT_THROW((void)r.finalize(store, std::span<const NodeId>(outs), false, oom), std::bad_alloc);
  EXPECT_EQ(r.watermark(), 150u);
  EXPECT_EQ(r.total_work(), 150u);
  EXPECT_EQ(r.canonical_count(), canonical);
  ReductionResult after = finalize(r, store, outs);
  IncrementalReducer fresh;
  ReductionResult direct = finalize(fresh, store, outs);
  EXPECT_EQ(store_nodes(*after.store), store_nodes(*direct.store));
  EXPECT_EQ(after.report, direct.report);
}

TEST(Incremental, InternalFailurePoisonsTheReducer) {
  Builder b;
  b.mark(b.src("s"));
  IncrementalReducer r;
  FailingEngine engine;
  try {
    (void)r.finalize(b.store, std::nullopt, false, engine);
    FAIL() << "finalize should fail";
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "engine failed");
  }
  for (int k = 0; k < 5; ++k) {
    try {
      switch (k) {
        case 0: (void)r.watermark(); break;
        case 1: (void)r.total_work(); break;
        case 2: (void)r.canonical_count(); break;
        case 3: (void)r.step(b.store); break;
        case 4: (void)r.finalize(b.store, std::nullopt, false, engine); break;
      }
      FAIL() << "call " << k << " should panic";
    } catch (const Panic& p) {
      EXPECT_EQ(p.message(), "incremental reducer poisoned: PoisonError { .. }");
    }
  }
}

TEST(Incremental, NodesWithManyConsumersStillDeduplicate) {
  // x is the newest input of 60 ops, more than the per-node chain holds; their
  // commuted twins and identity-wrapped copies must still be found.
  Builder b;
  std::vector<NodeId> ys;
  for (int i = 0; i < 20; ++i) ys.push_back(b.src("y" + std::to_string(i)));
  NodeId x = b.src("x");
  NodeId idx = b.op("add", {x}, add0("l"));
  std::vector<NodeId> outs;
  for (int i = 0; i < 20; ++i) outs.push_back(b.op("add", {ys[i], x}));
  for (int i = 0; i < 20; ++i) outs.push_back(b.op("g", {x, ys[i]}));
  for (int i = 0; i < 20; ++i) outs.push_back(b.op("f", {x}, params({pi("k", i)})));
  for (int i = 19; i >= 0; --i) outs.push_back(b.op("add", {x, ys[i]}));
  for (int i = 0; i < 20; ++i) outs.push_back(b.op("g", {idx, ys[i]}));
  for (int i = 0; i < 20; ++i) outs.push_back(b.op("f", {idx}, params({pi("k", i)})));
  IncrementalReducer r;
  step(r, b.store);
  EXPECT_EQ(r.canonical_count(), 21u + 60u);
  ReductionResult inc = finalize(r, b.store, outs);
  ReferenceEngine engine;
  auto direct = reduce_store(b.store, std::span<const NodeId>(outs), false, engine);
  ASSERT_TRUE(direct);
  EXPECT_EQ(inc.report.canonical_nodes, 81u);
  EXPECT_EQ(direct->report.canonical_nodes, 81u);
  EXPECT_EQ(store_nodes(*inc.store), store_nodes(*direct->store));
  EXPECT_EQ(inc.store->outputs(), direct->store->outputs());
}

TEST(Incremental, StepsWhileAnotherThreadRecords) {
  RandomGraph gen(31);
  std::vector<Node> nodes = gen.generate({3000, true, true});
  Store growing;
  IncrementalReducer r;
  std::atomic<bool> done{false};
  std::thread recorder([&] {
    fill_store(growing, nodes, nodes.size());
    done = true;
  });
  std::thread reader([&] {
    // Getters serialize with the steps: each sees a completed state.
    while (!done) {
      EXPECT_LE(r.canonical_count(), nodes.size());
      EXPECT_LE(r.watermark(), nodes.size());
      EXPECT_LE(r.total_work(), nodes.size());
    }
  });
  while (!done) ASSERT_TRUE(r.step(growing));
  recorder.join();
  reader.join();
  ASSERT_TRUE(r.step(growing));
  EXPECT_EQ(r.watermark(), nodes.size());
  EXPECT_EQ(r.total_work(), nodes.size());
  IncrementalReducer once;
  ASSERT_TRUE(once.step(growing));
  EXPECT_EQ(r.canonical_count(), once.canonical_count());
}

TEST(Incremental, ChunkedStepsGiveTheSameFormAsOneStep) {
  RandomGraph gen(99);
  std::vector<Node> nodes = gen.generate({400, true, true});
  Store whole;
  fill_store(whole, nodes, nodes.size());
  IncrementalReducer once;
  step(once, whole);

  Store growing;
  IncrementalReducer chunked;
  std::size_t upto = 0;
  while (upto < nodes.size()) {
    upto = std::min(nodes.size(), upto + 1 + gen.pick(30));
    fill_store(growing, nodes, upto);
    step(chunked, growing);
  }
  EXPECT_EQ(chunked.canonical_count(), once.canonical_count());
  EXPECT_EQ(chunked.total_work(), nodes.size());
  std::vector<NodeId> outs = gen.outputs(nodes, true);
  ReductionResult a = finalize(once, whole, outs);
  ReductionResult c = finalize(chunked, growing, outs);
  EXPECT_EQ(store_nodes(*a.store), store_nodes(*c.store));
  EXPECT_EQ(a.store->outputs(), c.store->outputs());
  EXPECT_EQ(a.report, c.report);
}

}  // namespace
}  // namespace tavrine::opt::testing
