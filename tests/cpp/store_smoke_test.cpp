#include <gtest/gtest.h>

#include "store/store.h"

using namespace tavrine;

TEST(StoreSmoke, InternsAndSnapshots) {
  Store s;
  Node src{NodeKind::Source, "x", {}, {}, {}, {}};
  EXPECT_EQ(*s.intern(src), 0u);
  EXPECT_EQ(*s.intern(src), 0u);
  Node op{NodeKind::Op, "add", {}, {}, {0, 0}, {}};
  EXPECT_EQ(*s.intern(op), 1u);
  op.inputs = {0, 5};
  auto bad = s.intern(op);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message(), "no node with id 5");
  Snapshot snap = s.snapshot();
  EXPECT_EQ(snap.size(), 2u);
  EXPECT_EQ(snap.node(1).name(), "add");
  EXPECT_EQ(snap.node(1).inputs().size(), 2u);
}
