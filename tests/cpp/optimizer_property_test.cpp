// Properties over many random graphs: reduction never changes what an output
// computes, its result is well formed and reproducible, and the incremental
// reducer agrees with the one-shot reduction. Plus a graph that is tiny as a
// DAG but exponential as a tree.
#include <gtest/gtest.h>

#include <functional>
#include <sys/wait.h>
#include <unistd.h>

#include "optimizer/incremental.h"
#include "optimizer/reduce.h"
#include "optimizer_test_util.h"

namespace tavrine::opt::testing {
namespace {


std::vector<std::uint64_t> output_values(const std::vector<Node>& nodes, const std::vector<NodeId>& outs) {
  auto v = Evaluator::evaluate(nodes);
  std::vector<std::uint64_t> out;
  for (NodeId o : outs) out.push_back(v.at(o));
  return out;
}

// Every reduced store: no Op left, inputs earlier, stage members well
// formed, one node per emitted node, report consistent.
void check_shape(const ReductionResult& r) {
  const std::vector<Node> nodes = store_nodes(*r.store);
  std::uint64_t stages = 0;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const Node& n = nodes[i];
    ASSERT_NE(n.kind, NodeKind::Op);
    for (NodeId in : n.inputs) ASSERT_LT(in, i);
    if (n.kind == NodeKind::Stage) {
      ++stages;
      for (std::size_t k = 0; k < n.members.size(); ++k) {
        for (const StageRef& ref : n.members[k].refs) {
          ASSERT_LT(ref.index, ref.kind == StageRef::Kind::Input ? n.inputs.size() : k);
        }
      }
    }
  }
  EXPECT_LE(r.report.stages, stages);
  EXPECT_EQ(r.report.reduced_nodes, nodes.size());
  EXPECT_EQ(r.report.reduced_nodes, r.report.stages + r.report.boundary_nodes);
  EXPECT_LE(r.report.canonical_nodes, r.report.reachable_nodes);
  EXPECT_LE(r.report.reachable_nodes, r.report.input_nodes);
}

std::vector<std::uint64_t> first_occurrences(const std::vector<std::uint64_t>& v) {
  std::vector<std::uint64_t> out;
  for (std::uint64_t x : v) {
    if (std::find(out.begin(), out.end(), x) == out.end()) out.push_back(x);
  }
  return out;
}

// The distinct values of a store's marks, in mark order.
std::vector<std::uint64_t> mark_values(const Store& s) {
  const auto v = Evaluator::evaluate(store_nodes(s));
  std::vector<std::uint64_t> out;
  for (NodeId m : s.outputs()) out.push_back(v.at(m));
  return first_occurrences(out);
}

class Property : public ::testing::TestWithParam<EngineCase> {};

TEST_P(Property, ReductionPreservesEveryOutputValue) {
  for (std::uint64_t seed = 1; seed <= 300; ++seed) {
    RandomGraph gen(seed);
    const bool dead = seed % 3 != 0;
    std::vector<Node> nodes = gen.generate({1 + gen.pick(70), seed % 2 == 0, dead});
    std::vector<NodeId> outs = gen.outputs(nodes, dead);
    // The marks of a reduced store are the outputs' nodes in order of first
    // occurrence: they carry the outputs' values in that order.
    const auto want = first_occurrences(output_values(nodes, outs));
    Store s;
    fill_store(s, nodes, nodes.size());
    Snapshot snap = s.snapshot();
    for (bool maximal : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "seed " << seed << " maximal " << maximal);
      auto engine = GetParam().make();
      ReductionResult first = reduce_to_store(SnapshotSequence(snap), outs, *engine, maximal);
      ASSERT_EQ(mark_values(*first.store), want);
      check_shape(first);

      // Reducing the reduced store: same values, no new stage, same nodes.
      auto engine2 = GetParam().make();
      const std::vector<NodeId> marks = first.store->outputs();
      ReductionResult again = reduce_to_store(SnapshotSequence(first.store->snapshot()), marks, *engine2, maximal);
      ASSERT_EQ(mark_values(*again.store), want);
      EXPECT_EQ(again.report.stages, 0u);
      EXPECT_EQ(store_nodes(*again.store), store_nodes(*first.store));

      // The incremental reducer, stepped in random chunks while recording.
      Store growing;
      IncrementalReducer inc;
      std::size_t upto = 0;
      while (upto < nodes.size()) {
        upto = std::min(nodes.size(), upto + 1 + gen.pick(20));
        fill_store(growing, nodes, upto);
        ASSERT_TRUE(inc.step(growing));
      }
      auto engine3 = GetParam().make();
      auto fin = inc.finalize(growing, std::span<const NodeId>(outs), maximal, *engine3);
      ASSERT_TRUE(fin);
      EXPECT_EQ(inc.total_work(), nodes.size());
      EXPECT_LE(inc.canonical_count(), nodes.size());
      EXPECT_EQ(mark_values(*fin->store), want);
      if (!dead) {
        // Everything reachable: the very same reduced store.
        EXPECT_EQ(store_nodes(*fin->store), store_nodes(*first.store));
        EXPECT_EQ(fin->store->outputs(), first.store->outputs());
        EXPECT_EQ(fin->report.canonical_nodes, first.report.canonical_nodes);
        EXPECT_EQ(fin->report.stages, first.report.stages);
      }
    }
  }
}

TEST_P(Property, ExponentialAsATreeIsSmallAsADag) {
  // Level i+1: p = add(p, q), q = add(q, p), r = mul1(p); every level doubles
  // the tree size. Commuted twins and identities collapse it to one chain.
  Builder b;
  NodeId p = b.src("p"), q = b.src("q");
  const int levels = 300;
  for (int i = 0; i < levels; ++i) {
    NodeId np = b.op("add", {p, q});
    NodeId nq = b.op("add", {q, p});
    NodeId r = b.op("mul", {np}, mul1(i % 2 ? "l" : "r"));
    p = b.op("f", {r});
    q = b.op("f", {nq});
  }
  b.mark(p);
  b.mark(q);
  auto engine = GetParam().make();
  auto r = reduce_store(b.store, std::nullopt, false, *engine);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->report.input_nodes, 2u + 5u * levels);
  // p and q: after level 1 they are equal, then add(p, p) and f of it.
  EXPECT_LT(r->report.canonical_nodes, 2u * levels + 10);
  EXPECT_EQ(r->store->outputs().size(), 1u);
  std::vector<Node> nodes = store_nodes(b.store);
  std::vector<NodeId> outs = {p, q};
  auto want = output_values(nodes, outs);
  EXPECT_EQ(want[0], want[1]);
  auto got = Evaluator::evaluate(store_nodes(*r->store));
  EXPECT_EQ(got[r->store->outputs()[0]], want[0]);

  IncrementalReducer inc;
  ASSERT_TRUE(inc.step(b.store));
  EXPECT_EQ(inc.canonical_count(), r->report.canonical_nodes);
}

INSTANTIATE_TEST_SUITE_P(All, Property, ::testing::ValuesIn(kEngines),
                         [](const ::testing::TestParamInfo<EngineCase>& i) { return std::string(i.param.name); });

// A text dump of a reduced store, for comparing results across processes.
std::string dump(const Store& s) {
  std::string out;
  Snapshot snap = s.snapshot();
  for (NodeId i = 0; i < snap.end_id(); ++i) {
    NodeView v = snap.node(i);
    out += node_symbol(v);
    for (NodeId in : v.inputs()) out += " " + std::to_string(in);
    out += "\n";
  }
  for (NodeId m : s.outputs()) out += "mark " + std::to_string(m) + "\n";
  return out;
}

// Runs `body` in a forked child and returns what it wrote.
std::string in_child(const std::function<std::string()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::string text = body();
    std::size_t off = 0;
    while (off < text.size()) {
      ssize_t w = write(fds[1], text.data() + off, text.size() - off);
      if (w <= 0) break;
      off += static_cast<std::size_t>(w);
    }
    close(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  std::string text;
  char buf[4096];
  for (ssize_t r; (r = read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(r));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return text;
}

TEST(Determinism, SameGraphSameBytesInOtherProcessesAndOrders) {
  RandomGraph gen(4242);
  std::vector<Node> nodes = gen.generate({3000, true, true});
  std::vector<NodeId> outs = gen.outputs(nodes, false);
  auto reduce_dump = [&](int noise) {
    // Different histories of the process before the reduction: other graphs
    // reduced first, so hash seeds and interned symbols differ.
    for (int k = 0; k < noise; ++k) {
      RandomGraph other(static_cast<std::uint64_t>(1000 + k));
      auto junk = other.generate({200, true, true});
      Store js;
      fill_store(js, junk, junk.size());
      (void)reduce_store(js, std::span<const NodeId>(std::vector<NodeId>{junk.size() - 1}), false);
    }
    Store s;
    fill_store(s, nodes, nodes.size());
    std::string text;
    for (bool maximal : {false, true}) {
      auto r = reduce_store(s, std::span<const NodeId>(outs), maximal);
      text += r ? dump(*r->store) : "error";
    }
    return text;
  };
  const std::string a = in_child([&] { return reduce_dump(0); });
  const std::string b = in_child([&] { return reduce_dump(3); });
  ASSERT_FALSE(a.empty());
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, reduce_dump(1));
}

}  // namespace
}  // namespace tavrine::opt::testing
