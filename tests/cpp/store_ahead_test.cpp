// Interning a sequence a few nodes ahead: whatever the distance, the store
// must end up exactly as if each node had been interned when it was pushed,
// repeats (and the position-to-id mapping they force) included.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "store/ahead.h"
#include "test_graphs.h"

using namespace tavrine;
using tavrine::testing::Gen;

namespace {

struct Planned {
  NodeKind kind;
  std::string name;
  std::vector<NodeId> inputs;  // positions
};

// A sequence with shared names and inputs, where some nodes repeat an
// earlier one outright (as a forged blob's records can).
std::vector<Planned> plan(Gen& g) {
  static const char* const kNames[] = {"a", "b", "add", "mul"};
  std::vector<Planned> seq;
  const std::size_t n = 1 + g.below(60);
  for (std::size_t pos = 0; pos < n; ++pos) {
    if (pos > 0 && g.chance(15)) {
      seq.push_back(seq[g.below(pos)]);
      continue;
    }
    Planned p{NodeKind::Source, kNames[g.below(4)], {}};
    if (pos > 0 && g.chance(70)) {
      p.kind = NodeKind::Op;
      const std::size_t k = g.below(4);
      for (std::size_t i = 0; i < k; ++i) p.inputs.push_back(g.below(pos));
    }
    seq.push_back(std::move(p));
  }
  return seq;
}

void expect_same_nodes(const Store& a, const Store& b) {
  const Snapshot sa = a.snapshot(), sb = b.snapshot();
  ASSERT_EQ(sa.size(), sb.size());
  for (NodeId id = 0; id < sa.end_id(); ++id) {
    const NodeView x = sa.node(id), y = sb.node(id);
    EXPECT_EQ(x.kind(), y.kind());
    EXPECT_EQ(x.payload().bytes, y.payload().bytes);
    EXPECT_EQ(std::vector<NodeId>(x.inputs().begin(), x.inputs().end()),
              std::vector<NodeId>(y.inputs().begin(), y.inputs().end()));
  }
}

}  // namespace

TEST(AheadInterner, EndsAsInterningEachNodeAtItsPushWould) {
  for (std::uint64_t seed = 0; seed < 300; ++seed) {
    Gen g(seed);
    const std::vector<Planned> seq = plan(g);
    // The reference: each node interned at once, its inputs mapped by hand.
    Store expected;
    std::vector<NodeId> expected_ids;
    EncodedPayload scratch;
    for (const Planned& p : seq) {
      std::vector<NodeId> in;
      for (NodeId pos : p.inputs) in.push_back(expected_ids[pos]);
      expected_ids.push_back(*expected.intern(scratch.set(p.kind, p.name, nullptr, nullptr, {}, in)));
    }
    for (std::uint32_t distance : {0u, 1u, 3u, AheadInterner::kMaxDistance}) {
      SCOPED_TRACE("seed " + std::to_string(seed) + ", distance " + std::to_string(distance));
      Store store;
      std::deque<std::string> stable;  // payloads that outlive the interner
      {
        Store::Batch batch(store);
        AheadInterner interner(batch, distance);
        for (const Planned& p : seq) {
          // The scratch is rewritten for every node, so a payload the
          // interner read from it later would show as a wrong node.
          const PayloadKey key = scratch.set(p.kind, p.name, nullptr, nullptr, {}, {}).payload;
          AheadInterner::Entry& e = interner.next();
          e.inputs = p.inputs;
          PayloadKey payload = key;
          if (g.chance(50)) {
            e.bytes = key.bytes;
            payload.bytes = e.bytes;
          } else {
            payload.bytes = stable.emplace_back(key.bytes);
          }
          const bool now = distance == 0 && g.chance(50);
          ASSERT_TRUE((now ? interner.push_now(payload, p.inputs) : interner.push(payload)).has_value());
          EXPECT_GE(interner.interned() + distance, interner.pushed());
        }
        ASSERT_TRUE(interner.finish().has_value());
        EXPECT_EQ(interner.interned(), seq.size());
        for (std::size_t pos = 0; pos < seq.size(); ++pos) EXPECT_EQ(interner.id_of(pos), expected_ids[pos]);
      }
      expect_same_nodes(store, expected);
    }
  }
}
