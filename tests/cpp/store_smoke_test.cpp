#include <gtest/gtest.h>

#include "store/store.h"
#include "support/owned_node.h"

using namespace tavrine;

TEST(StoreSmoke, InternsAndSnapshots) {
  Store s;
  Node src{NodeKind::Source, "x", {}, {}, {}, {}};
  EXPECT_EQ(*intern(s, src), 0u);
  EXPECT_EQ(*intern(s, src), 0u);
  Node op{NodeKind::Op, "add", {}, {}, {0, 0}, {}};
  EXPECT_EQ(*intern(s, op), 1u);
  op.inputs = {0, 5};
  auto bad = intern(s, op);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message(), "no node with id 5");
  Snapshot snap = s.snapshot();
  EXPECT_EQ(snap.size(), 2u);
  EXPECT_EQ(snap.node(1).name(), "add");
  EXPECT_EQ(snap.node(1).inputs().size(), 2u);
}

// Many doublings of the interning tables, with lookups of every earlier node
// after each growth step: ids must stay stable and dense.
TEST(StoreSmoke, GrowthKeepsEveryNodeFindable) {
  Store s;
  std::vector<Node> made;
  std::uint64_t state = 12345;
  auto next = [&] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 33;
  };
  for (int i = 0; i < 3; ++i) made.push_back(Node{NodeKind::Source, "s" + std::to_string(i), {}, {}, {}, {}});
  for (int i = 0; i < 3; ++i) ASSERT_EQ(*intern(s, made[i]), static_cast<NodeId>(i));
  for (int i = 3; i < 200000; ++i) {
    Node n{NodeKind::Op, (next() % 3) ? "add" : "mul", {}, {}, {}, {}};
    std::uint64_t k = 1 + next() % 3;
    for (std::uint64_t j = 0; j < k; ++j) n.inputs.push_back(next() % made.size());
    auto id = intern(s, n);
    ASSERT_TRUE(id);
    if (*id == made.size()) made.push_back(n);
    else ASSERT_EQ(made[*id], n);
  }
  for (std::size_t i = 0; i < made.size(); ++i) ASSERT_EQ(*intern(s, made[i]), i);
  EXPECT_EQ(s.node_count(), made.size());
  Snapshot snap = s.snapshot();
  for (std::size_t i = 0; i < made.size(); i += 997) EXPECT_EQ(to_node(snap.node(i)), made[i]);
}

// Names of every length up to a few words: the short-text comparisons and
// hashing must tell apart texts that differ in any single byte.
TEST(StoreSmoke, NamesDifferingInOneByteAreDistinct) {
  Store s;
  std::uint64_t expected = 0;
  for (std::size_t len = 1; len <= 24; ++len) {
    std::string base(len, 'a');
    ASSERT_EQ(*intern(s, Node{NodeKind::Source, base, {}, {}, {}, {}}), expected++);
    for (std::size_t pos = 0; pos < len; ++pos) {
      std::string other = base;
      other[pos] = 'b';
      ASSERT_EQ(*intern(s, Node{NodeKind::Source, other, {}, {}, {}, {}}), expected++) << other;
    }
    ASSERT_EQ(*intern(s, Node{NodeKind::Source, base, {}, {}, {}, {}}), expected - len - 1);
  }
}
