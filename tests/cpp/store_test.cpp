// The graph store: hash-consing, input checks, marks, nodes_since, snapshot
// isolation, and interning under thread contention.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include "test_graphs.h"

using namespace tavrine;
using tavrine::testing::Gen;

namespace {

Node source(std::string name, ParamMap p = {}) { return Node{NodeKind::Source, std::move(name), std::move(p), {}, {}, {}}; }
Node op(std::string name, std::vector<NodeId> in) { return Node{NodeKind::Op, std::move(name), {}, {}, std::move(in), {}}; }

}  // namespace

TEST(Store, HashConsing) {
  Store s;
  EXPECT_EQ(*intern(s, source("x")), 0u);
  EXPECT_EQ(*intern(s, source("x")), 0u);
  EXPECT_EQ(s.node_count(), 1u);
  EXPECT_EQ(*intern(s, source("y")), 1u);
  EXPECT_EQ(*intern(s, op("add", {0, 1})), 2u);
  EXPECT_EQ(*intern(s, op("add", {1, 0})), 3u);  // input order is identity
  EXPECT_EQ(*intern(s, op("add", {0, 1})), 2u);
  EXPECT_EQ(*intern(s, op("add", {0, 0})), 4u);  // repeats allowed

  ParamMap k_int = ParamMap::sorted({Param{"k", ParamValue::of_int(1)}});
  ParamMap k_float = ParamMap::sorted({Param{"k", ParamValue::of_float(1.0)}});
  EXPECT_EQ(*intern(s, Node{NodeKind::Op, "f", k_int, {}, {0}, {}}), 5u);
  EXPECT_EQ(*intern(s, Node{NodeKind::Op, "f", k_float, {}, {0}, {}}), 6u);
  // All NaNs are one value; 0.0 and -0.0 are two.
  EXPECT_EQ(*intern(s, source("n", ParamMap::sorted({Param{"v", ParamValue::of_float_bits(0x7FF8000000000000ull)}}))), 7u);
  EXPECT_EQ(*intern(s, source("n", ParamMap::sorted({Param{"v", ParamValue::of_float_bits(0xFFF0000000000042ull)}}))), 7u);
  EXPECT_EQ(*intern(s, source("z", ParamMap::sorted({Param{"v", ParamValue::of_float(0.0)}}))), 8u);
  EXPECT_EQ(*intern(s, source("z", ParamMap::sorted({Param{"v", ParamValue::of_float(-0.0)}}))), 9u);
  // The first NaN's bits are the stored ones.
  EXPECT_EQ(to_node(s.snapshot().node(7)).params.entries[0].value.float_bits(), 0x7FF8000000000000ull);

  // Exchange with no inputs and with two inputs: both valid, different.
  EXPECT_EQ(*intern(s, Node{NodeKind::Exchange, "", {}, {}, {}, {}}), 10u);
  EXPECT_EQ(*intern(s, Node{NodeKind::Exchange, "", {}, {}, {0, 1}, {}}), 11u);
  // The same name on different kinds makes different nodes.
  EXPECT_EQ(*intern(s, Node{NodeKind::Reduction, "add", {}, {}, {0, 1}, {}}), 12u);
  // Descriptor: absent preprocessing_ref differs from the empty text.
  auto d1 = std::make_shared<PayloadDescriptor>(PayloadDescriptor{"k", "h", "f", "v", "io", std::nullopt});
  auto d2 = std::make_shared<PayloadDescriptor>(PayloadDescriptor{"k", "h", "f", "v", "io", std::string()});
  EXPECT_EQ(*intern(s, Node{NodeKind::External, "", {}, d1, {}, {}}), 13u);
  EXPECT_EQ(*intern(s, Node{NodeKind::External, "", {}, d2, {}, {}}), 14u);
  EXPECT_EQ(*intern(s, Node{NodeKind::External, "", {}, std::make_shared<PayloadDescriptor>(*d1), {}, {}}), 13u);
  EXPECT_EQ(s.node_count(), 15u);
}

TEST(Store, BadNodeIds) {
  Store s;
  auto e0 = intern(s, op("f", {0}));
  ASSERT_FALSE(e0);
  EXPECT_EQ(e0.error().id, 0u);
  EXPECT_EQ(e0.error().message(), "no node with id 0");
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(intern(s, source("s" + std::to_string(i))));
  auto e1 = intern(s, op("f", {0, 9, 12}));
  ASSERT_FALSE(e1);
  EXPECT_EQ(e1.error().message(), "no node with id 9");
  auto e2 = intern(s, op("f", {5}));  // equal to the count
  ASSERT_FALSE(e2);
  EXPECT_EQ(e2.error().id, 5u);
  EXPECT_EQ(s.node_count(), 5u);
  EXPECT_EQ(*intern(s, op("f", {4})), 5u);  // the failed attempts left no trace
  auto e3 = intern(s, op("f", {UINT64_MAX}));
  ASSERT_FALSE(e3);
  EXPECT_EQ(e3.error().message(), "no node with id 18446744073709551615");

  // A Stage's inputs are checked; the indices inside its members are not.
  std::vector<StageMember> members = {StageMember{"op|g", {StageRef{StageRef::Kind::Input, 1000}}}};
  EXPECT_FALSE(intern(s, Node{NodeKind::Stage, "", {}, {}, {6}, members}));
  EXPECT_EQ(*intern(s, Node{NodeKind::Stage, "", {}, {}, {5}, members}), 6u);
  // Inputs handed to a Source are not part of it.
  EXPECT_EQ(*intern(s, Node{NodeKind::Source, "s0", {}, {}, {99}, {}}), 0u);

  auto m = s.mark_output(7);
  ASSERT_FALSE(m);
  EXPECT_EQ(m.error().message(), "no node with id 7");
  EXPECT_TRUE(s.outputs().empty());
}

TEST(Store, MarksAndViews) {
  Store s;
  EXPECT_TRUE(s.outputs().empty());
  EXPECT_TRUE(s.nodes_since(0).empty());
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(intern(s, source("s" + std::to_string(i))));
  ASSERT_TRUE(s.mark_output(3));
  ASSERT_TRUE(s.mark_output(1));
  ASSERT_TRUE(s.mark_output(3));
  EXPECT_EQ(s.outputs(), (std::vector<NodeId>{3, 1}));
  EXPECT_EQ(s.snapshot().marks(), (std::vector<NodeId>{3, 1}));
  // Re-interning a marked node leaves the marks alone.
  EXPECT_EQ(*intern(s, source("s3")), 3u);
  EXPECT_EQ(s.outputs(), (std::vector<NodeId>{3, 1}));

  EXPECT_TRUE(s.nodes_since(10).empty());
  EXPECT_TRUE(s.nodes_since(4).empty());
  EXPECT_EQ(s.nodes_since(10).begin_id(), 4u);
  Snapshot tail = s.nodes_since(2);
  EXPECT_EQ(tail.begin_id(), 2u);
  EXPECT_EQ(tail.size(), 2u);
  EXPECT_EQ(tail.node(2).name(), "s2");
  EXPECT_EQ(tail.node(3).name(), "s3");
  EXPECT_TRUE(tail.marks().empty());

  auto checked = s.snapshot_checked(std::vector<NodeId>{3, 0});
  ASSERT_TRUE(checked);
  EXPECT_EQ(checked->size(), 4u);
  auto bad = s.snapshot_checked(std::vector<NodeId>{1, 4, 9});
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().id, 4u);
}

TEST(Store, SnapshotIsolation) {
  Snapshot snap;
  {
    Store s;
    Gen g(3);
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(intern(s, g.node(s.node_count())));
    ASSERT_TRUE(s.mark_output(0));
    snap = s.snapshot();
    const std::uint64_t before = snap.size();
    std::vector<Node> copies;
    for (NodeId id = 0; id < snap.end_id(); ++id) copies.push_back(to_node(snap.node(id)));
    // Later nodes and marks are not seen by the snapshot.
    for (int i = 0; i < 100000; ++i) ASSERT_TRUE(intern(s, source("late" + std::to_string(i))));
    ASSERT_TRUE(s.mark_output(60));
    EXPECT_EQ(snap.size(), before);
    EXPECT_EQ(snap.marks(), (std::vector<NodeId>{0}));
    for (NodeId id = 0; id < snap.end_id(); ++id) ASSERT_EQ(to_node(snap.node(id)), copies[id]);
  }
  // The store is gone; the snapshot's nodes stay readable.
  ASSERT_GT(snap.size(), 0u);
  for (NodeId id = 0; id < snap.end_id(); ++id) {
    Node n = to_node(snap.node(id));
    for (NodeId in : n.inputs) ASSERT_LT(in, id);
  }
}

// Many threads intern overlapping node sets, in different orders, while
// others read. Every thread must see one id per distinct node, and the ids
// must be dense and in agreement.
TEST(Store, ConcurrentInterning) {
  constexpr int kThreads = 8;
  constexpr int kSources = 2000;
  Store s;
  std::vector<std::vector<NodeId>> source_ids(kThreads, std::vector<NodeId>(kSources));
  std::vector<std::vector<NodeId>> op_ids(kThreads, std::vector<NodeId>(kSources));
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load()) {
      Snapshot snap = s.snapshot();
      for (NodeId id = 0; id < snap.end_id(); id += 97) {
        for (NodeId in : snap.node(id).inputs()) ASSERT_LT(in, id);
      }
      (void)s.nodes_since(snap.end_id() / 2);
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<int> order(kSources);
      for (int i = 0; i < kSources; ++i) order[i] = i;
      std::mt19937 rng(static_cast<unsigned>(t));
      std::shuffle(order.begin(), order.end(), rng);
      for (int k : order) {
        auto id = intern(s, source("s" + std::to_string(k)));
        ASSERT_TRUE(id);
        source_ids[t][k] = *id;
      }
      // Ops over pairs of sources: the inputs are ids this thread got.
      std::shuffle(order.begin(), order.end(), rng);
      for (int k : order) {
        auto id = intern(s, op("add", {source_ids[t][k], source_ids[t][(k + 1) % kSources]}));
        ASSERT_TRUE(id);
        op_ids[t][k] = *id;
      }
    });
  }
  for (auto& th : threads) th.join();
  stop = true;
  reader.join();

  EXPECT_EQ(s.node_count(), 2u * kSources);
  for (int t = 1; t < kThreads; ++t) {
    EXPECT_EQ(source_ids[t], source_ids[0]);
    EXPECT_EQ(op_ids[t], op_ids[0]);
  }
  std::set<NodeId> all(source_ids[0].begin(), source_ids[0].end());
  all.insert(op_ids[0].begin(), op_ids[0].end());
  ASSERT_EQ(all.size(), 2u * kSources);
  EXPECT_EQ(*all.begin(), 0u);
  EXPECT_EQ(*all.rbegin(), 2u * kSources - 1);
  Snapshot snap = s.snapshot();
  for (int k = 0; k < kSources; ++k) {
    EXPECT_EQ(snap.node(source_ids[0][k]).name(), "s" + std::to_string(k));
    const NodeView v = snap.node(op_ids[0][k]);
    ASSERT_EQ(v.inputs().size(), 2u);
    EXPECT_EQ(v.inputs()[0], source_ids[0][k]);
  }
}

// Threads record the same chain while others give its nodes second readers:
// a repeat is then found without the lock while the node it reads goes from
// one reader to several. Every thread must get the same ids.
TEST(Store, RepeatsFoundWithoutTheLockAgreeWhileTheirInputsGainReaders) {
  constexpr int kThreads = 4;
  constexpr int kLength = 3000;
  Store s;
  const NodeId root = *intern(s, source("root"));
  std::vector<std::vector<NodeId>> chain(kThreads, std::vector<NodeId>(kLength));
  std::atomic<int> waiting{kThreads};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      waiting.fetch_sub(1);
      while (waiting.load() > 0) std::this_thread::yield();  // all start together
      for (int round = 0; round < 3; ++round) {
        NodeId prev = root;
        for (int i = 0; i < kLength; ++i) {
          auto id = intern(s, op("f", {prev}));
          ASSERT_TRUE(id);
          if (round > 0) {
            ASSERT_EQ(*id, chain[t][i]);
          }
          chain[t][i] = prev = *id;
          // Odd threads add a second reader of what others look up next.
          if (t % 2 == 1 && (i + round) % 3 == 0) {
            ASSERT_TRUE(intern(s, op("g" + std::to_string(round), {prev})));
          }
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(chain[t], chain[0]);
  const Snapshot snap = s.snapshot();
  for (int i = 1; i < kLength; ++i) EXPECT_EQ(snap.node(chain[0][i]).inputs()[0], chain[0][i - 1]);
}

// Identity in the store follows the node equality of the model: interning a
// random node list gives equal ids exactly for equal nodes.
TEST(Store, IdsFollowNodeEquality) {
  Gen g(11);
  Store s;
  std::vector<Node> nodes;
  std::vector<NodeId> ids;
  for (int i = 0; i < 3000; ++i) {
    Node n = (i > 10 && g.chance(30)) ? nodes[g.below(nodes.size())] : g.node(s.node_count());
    auto id = intern(s, n);
    ASSERT_TRUE(id);
    nodes.push_back(std::move(n));
    ids.push_back(*id);
  }
  for (std::size_t i = 0; i < nodes.size(); i += 7) {
    for (std::size_t j = 0; j < nodes.size(); j += 5) {
      ASSERT_EQ(nodes[i] == nodes[j], ids[i] == ids[j]) << i << " " << j;
    }
  }
}

// A graph recorded again is looked up first at the node after the previous
// answer. Replays in order, with near misses of that node (its payload with
// other inputs, its inputs with another payload) and foreign keys woven in,
// alternating with a second store on the same thread and running beside a
// thread that replays the same store: every answer must be the node equal
// to the key, and no node may be stored twice.
TEST(Store, ReplayedRecordingsFindExactlyTheirOwnNodes) {
  Gen g(23);
  Store s, other;
  std::vector<Node> first;
  for (int i = 0; i < 2000; ++i) {
    first.push_back(g.node(s.node_count()));
    ASSERT_TRUE(intern(s, first.back()));
    ASSERT_TRUE(intern(other, first.back()));
  }
  const std::uint64_t count = s.node_count();
  auto check = [](Store& store, const Node& key) {
    auto id = intern(store, key);
    ASSERT_TRUE(id);
    ASSERT_EQ(to_node(store.snapshot().node(*id)), key);
  };
  auto near_misses = [&](const Node& n) {
    std::vector<Node> out;
    Node renamed = n;
    renamed.name += "'";
    if (kind_has_name(n.kind)) out.push_back(renamed);
    if (!n.inputs.empty()) {
      Node moved = n;
      moved.inputs[0] = (moved.inputs[0] + 1) % count;
      out.push_back(moved);
    }
    return out;
  };
  std::thread beside([&] {
    for (int round = 0; round < 3; ++round) {
      for (const Node& n : first) check(s, n);
    }
  });
  for (int round = 0; round < 3; ++round) {
    for (std::size_t i = 0; i < first.size(); ++i) {
      if (g.chance(10)) {
        for (const Node& miss : near_misses(first[i])) check(s, miss);
      }
      if (g.chance(5)) check(s, first[g.below(first.size())]);
      if (g.chance(20)) check(other, first[i]);
      if (!g.chance(5)) check(s, first[i]);  // sometimes a node is skipped
    }
  }
  beside.join();
  const Snapshot snap = s.snapshot();
  std::set<std::pair<std::uint32_t, std::vector<NodeId>>> seen;
  for (NodeId id = 0; id < snap.end_id(); ++id) {
    const NodeView v = snap.node(id);
    ASSERT_TRUE(seen.emplace(v.payload_id(), std::vector<NodeId>(v.inputs().begin(), v.inputs().end())).second) << id;
  }
  EXPECT_EQ(other.node_count(), count);
}
