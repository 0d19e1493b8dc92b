// The one hash-consing index, against a map from (payload, inputs) to id,
// under the shapes that once made lookups slow or wrong: hot inputs shared by
// many nodes, wide nodes, nodes without inputs, colliding hashes, an anchor
// going from one node to several, growth in the middle of a lookup, and undo
// newest-first.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "support/hash.h"
#include "support/node_index.h"

namespace tavrine {
namespace {

using Key = std::pair<std::uint32_t, std::vector<std::uint32_t>>;

// Nodes kept the way the index's owners keep them: a dense array of
// (payload, inputs), ids being positions. `fold` squeezes every hash into a
// few values, so that probe runs are long and tags agree.
struct Owner {
  std::vector<Key> nodes;
  NodeIndex index;
  std::uint64_t fold = 0;  // 0: real hashes

  std::uint64_t hash(const Key& k) const {
    const std::uint64_t h = NodeIndex::hash(detail::mix64(k.first + 1), std::span<const std::uint32_t>(k.second));
    return fold ? detail::mix64(h % fold) : h;
  }
  auto hash_of() const {
    return [this](std::uint32_t id) { return hash(nodes[id]); };
  }
  std::span<const std::uint32_t> in(const Key& k) const { return k.second; }
  std::uint32_t find(const Key& k) const {
    return index.find(hash(k), in(k), [&](std::uint32_t id) { return nodes[id] == k; });
  }
  // The id of k, adding it when absent, through probe / prepare / insert.
  std::uint32_t intern(const Key& k) {
    NodeIndex::Probe p = index.probe(hash(k), in(k), [&](std::uint32_t id) { return nodes[id] == k; });
    if (p.id != NodeIndex::kNone) return p.id;
    index.prepare_insert(p, hash_of());
    nodes.push_back(k);
    const auto id = static_cast<std::uint32_t>(nodes.size() - 1);
    index.insert_prepared(p, hash(k), id);
    return id;
  }
  void remove_newest() {
    const auto id = static_cast<std::uint32_t>(nodes.size() - 1);
    index.erase_newest(hash(nodes.back()), in(nodes.back()), id, hash_of());
    nodes.pop_back();
  }
};

// A random key in one of the recorded shapes: over hot "columns" (the first
// few ids), over recent nodes, a wide node, or a node without inputs.
Key random_key(std::mt19937_64& rng, std::uint32_t count, std::uint32_t payloads) {
  std::uint32_t payload = static_cast<std::uint32_t>(rng() % payloads);
  std::vector<std::uint32_t> in;
  if (count == 0) return {payload, in};
  switch (rng() % 4) {
    case 0:  // hot columns
      for (int k = 0; k < 2; ++k) in.push_back(static_cast<std::uint32_t>(rng() % std::min<std::uint32_t>(count, 4)));
      break;
    case 1:  // recent
      for (int k = 0; k < 2; ++k) in.push_back(count - 1 - static_cast<std::uint32_t>(rng() % std::min<std::uint32_t>(count, 8)));
      break;
    case 2:  // wide
      for (std::uint64_t k = 0, n = 3 + rng() % 40; k < n; ++k) in.push_back(static_cast<std::uint32_t>(rng() % count));
      break;
    default:  // no inputs
      break;
  }
  return {payload, in};
}

void agree_with_a_map(std::uint64_t fold, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Owner owner;
  owner.fold = fold;
  std::map<Key, std::uint32_t> model;
  for (int step = 0; step < 20000; ++step) {
    const Key k = random_key(rng, static_cast<std::uint32_t>(owner.nodes.size()), 6);
    const auto it = model.find(k);
    ASSERT_EQ(owner.find(k), it == model.end() ? NodeIndex::kNone : it->second) << "step " << step;
    const std::uint32_t id = owner.intern(k);
    if (it == model.end()) {
      ASSERT_EQ(id, owner.nodes.size() - 1);
      model.emplace(k, id);
    } else {
      ASSERT_EQ(id, it->second);
    }
    if (rng() % 16 == 0) {
      // Undo a few of the newest, as a reducer call that cannot finish does.
      for (std::uint64_t u = rng() % 5; u > 0 && !owner.nodes.empty(); --u) {
        model.erase(owner.nodes.back());
        owner.remove_newest();
      }
    }
  }
  ASSERT_EQ(owner.index.size(), model.size());
  for (const auto& [k, id] : model) ASSERT_EQ(owner.find(k), id);
}

TEST(NodeIndex, AgreesWithAMapOnEveryShape) {
  for (std::uint64_t seed : {1, 2, 3}) agree_with_a_map(0, seed);
}

TEST(NodeIndex, AgreesWithAMapWhenHashesCollide) {
  for (std::uint64_t fold : {1, 7, 300}) agree_with_a_map(fold, fold);
}

TEST(NodeIndex, AHotInputSharedByManyNodesDoesNotLengthenItsLookups) {
  // 2,000 sources, then every pair of the first 400 under four payloads:
  // 640,000 nodes over a few hot inputs. Each lookup stays a few probes.
  Owner owner;
  for (std::uint32_t s = 0; s < 2000; ++s) owner.intern({s + 100, {}});
  for (std::uint32_t p = 0; p < 4; ++p) {
    for (std::uint32_t a = 0; a < 400; ++a) {
      for (std::uint32_t b = 0; b < 400; ++b) owner.intern({p, {a, b}});
    }
  }
  EXPECT_EQ(owner.nodes.size(), 2000u + 4 * 400 * 400);
  std::uint64_t compares = 0;
  for (std::uint32_t a = 0; a < 400; ++a) {
    const Key k{3, {a, 399 - a}};
    const std::uint32_t id = owner.index.find(owner.hash(k), owner.in(k), [&](std::uint32_t c) {
      ++compares;
      return owner.nodes[c] == k;
    });
    ASSERT_NE(id, NodeIndex::kNone);
  }
  // Records are compared only where a slot's tag agrees: about once per hit.
  EXPECT_LT(compares, 400u * 2);
}

TEST(NodeIndex, GrowthBetweenAProbeAndItsInsertKeepsEveryNodeReachable) {
  // Every insert that crosses the load limit grows the table after the
  // probe that found the vacancy; the insert must then place anew. All
  // nodes read node 0, so all but the first enter the table.
  Owner owner;
  owner.intern({0, {}});
  auto key = [](std::uint32_t i) { return Key{i, {0}}; };
  for (std::uint32_t i = 1; i < 50000; ++i) ASSERT_EQ(owner.intern(key(i)), i);
  for (std::uint32_t i = 1; i < 50000; ++i) ASSERT_EQ(owner.find(key(i)), i);
  for (std::uint32_t i = 1; i < 50000; ++i) ASSERT_EQ(owner.find({i + 50000, {0}}), NodeIndex::kNone);
  EXPECT_EQ(owner.index.size(), 50000u);
}

}  // namespace
}  // namespace tavrine
