// The one hash table and the one interner, against plain models.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "support/handle_table.h"
#include "support/hash.h"
#include "support/interner.h"

namespace tavrine {
namespace {

// Keys live in a vector; handles are positions in it. `collide` folds the
// hash into a few values so that long probe runs and equal tags are common.
template <int HandleBits>
struct KeyedTable {
  std::vector<std::uint64_t> keys;
  HandleTable<HandleBits> table;
  std::uint64_t (*hash_fn)(std::uint64_t);

  std::uint64_t hash(std::uint64_t key) const { return hash_fn(key); }
  auto hash_of() {
    return [this](std::uint64_t h) { return hash(keys[h]); };
  }
  std::uint64_t find(std::uint64_t key) const {
    return table.find(hash(key), [&](std::uint64_t h) { return keys[h] == key; });
  }
  void insert(std::uint64_t key) {
    keys.push_back(key);
    table.insert(hash(key), keys.size() - 1, hash_of());
  }
  bool erase(std::uint64_t key) {
    const std::size_t slot = table.find_slot(hash(key), [&](std::uint64_t h) { return keys[h] == key; });
    if (slot == table.npos) return false;
    table.erase(slot, hash_of());
    return true;
  }
};

std::uint64_t good_hash(std::uint64_t k) { return detail::mix64(k * 0x9E3779B97F4A7C15ull + 1); }
// Eight distinct hashes in all: every probe run is long and tags repeat.
std::uint64_t bad_hash(std::uint64_t k) { return detail::mix64(k % 8) ; }
// Differs only in the low bits: every key gets the same home slot and tag.
std::uint64_t low_bits_hash(std::uint64_t k) { return k & 0xFF; }

template <int HandleBits>
void run_against_model(std::uint64_t (*hash_fn)(std::uint64_t), std::uint32_t seed, int steps, std::uint64_t key_range) {
  KeyedTable<HandleBits> t{{}, {}, hash_fn};
  std::unordered_map<std::uint64_t, std::uint64_t> model;  // key -> handle
  std::mt19937_64 rng(seed);
  for (int step = 0; step < steps; ++step) {
    const std::uint64_t key = rng() % key_range;
    switch (rng() % 3) {
      case 0:
        if (!model.count(key)) {
          t.insert(key);
          model[key] = t.keys.size() - 1;
        }
        break;
      case 1: {
        const bool erased = t.erase(key);
        ASSERT_EQ(erased, model.erase(key) == 1) << "step " << step;
        break;
      }
      default: {
        const auto it = model.find(key);
        ASSERT_EQ(t.find(key), it == model.end() ? t.table.npos : it->second) << "step " << step;
      }
    }
    ASSERT_EQ(t.table.size(), model.size());
  }
  for (const auto& [key, handle] : model) ASSERT_EQ(t.find(key), handle);
}

TEST(HandleTable, AgreesWithAMapUnderInsertEraseAndFind) {
  for (std::uint32_t seed = 1; seed <= 6; ++seed) {
    run_against_model<32>(good_hash, seed, 20000, 3000);
    run_against_model<40>(good_hash, seed, 20000, 3000);
  }
}

TEST(HandleTable, AgreesWithAMapWhenHashesCollide) {
  for (std::uint32_t seed = 1; seed <= 4; ++seed) {
    run_against_model<32>(bad_hash, seed, 4000, 300);
    run_against_model<40>(low_bits_hash, seed, 4000, 300);
  }
}

TEST(HandleTable, EmptyTableFindsNothingAndClearGivesMemoryBack) {
  KeyedTable<32> t{{}, {}, good_hash};
  EXPECT_EQ(t.find(7), t.table.npos);
  EXPECT_FALSE(t.erase(7));
  for (std::uint64_t k = 0; k < 1000; ++k) t.insert(k);
  EXPECT_GE(t.table.capacity() * 3, t.table.size() * 4);  // load at most 3/4
  t.table.clear();
  EXPECT_EQ(t.table.memory_bytes(), 0u);
  EXPECT_EQ(t.find(5), t.table.npos);
  t.insert(5);  // usable again
  EXPECT_EQ(t.find(5), t.keys.size() - 1);
}

TEST(HandleTable, ReserveAvoidsLaterGrowthAndKeepsEntries) {
  KeyedTable<32> t{{}, {}, good_hash};
  for (std::uint64_t k = 0; k < 100; ++k) t.insert(k);
  t.table.reserve(100000, t.hash_of());
  const std::size_t cap = t.table.capacity();
  for (std::uint64_t k = 100; k < 100000; ++k) t.insert(k);
  EXPECT_EQ(t.table.capacity(), cap);
  for (std::uint64_t k = 0; k < 100000; k += 997) EXPECT_EQ(t.find(k), k);
}

TEST(HandleTable, LargestHandleRoundTrips) {
  HandleTable<32> table;
  const auto h = [](std::uint64_t) { return std::uint64_t{42}; };
  table.insert(42, table.kMaxHandle, h);
  EXPECT_EQ(table.find(42, [](std::uint64_t) { return true; }), table.kMaxHandle);
}

// Past 2^(64 - HandleBits) slots the stored tag no longer names the home
// slot and growth must recompute hashes: with 40-bit handles that is at
// 2^24 slots, which takes a little over 12.6 million entries.
TEST(HandleTable, GrowsPastTheSlotsItsTagsCanPlace) {
  KeyedTable<40> t{{}, {}, good_hash};
  constexpr std::uint64_t kCount = (std::uint64_t{1} << 24) * 3 / 4 + 4096;
  t.keys.reserve(kCount);
  for (std::uint64_t k = 0; k < kCount; ++k) t.insert(k * 7);
  ASSERT_GT(t.table.capacity(), std::size_t{1} << 24);
  for (std::uint64_t k = 0; k < kCount; k += 4099) ASSERT_EQ(t.find(k * 7), k);
  EXPECT_EQ(t.find(3), t.table.npos);
  // Erasing there shifts entries by recomputed homes, too.
  for (std::uint64_t k = 0; k < 20000; ++k) ASSERT_TRUE(t.erase(k * 7));
  for (std::uint64_t k = 20000; k < kCount; k += 1021) ASSERT_EQ(t.find(k * 7), k);
  for (std::uint64_t k = 0; k < 20000; k += 101) ASSERT_EQ(t.find(k * 7), t.table.npos);
}

TEST(Interner, DenseIdsFirstArrivalOrderAndStableReferences) {
  Interner<std::string> texts;
  auto hash = [](std::string_view s) { return detail::mix64(detail::hash_bytes(0, s)); };
  auto eq = [](const std::string& stored, std::string_view key) { return stored == key; };
  auto make = [](std::string_view key) { return std::string(key); };
  std::vector<const std::string*> refs;
  std::mt19937 rng(3);
  std::unordered_map<std::string, std::size_t> model;
  for (int i = 0; i < 50000; ++i) {
    std::string key = "t" + std::to_string(rng() % 9000);
    auto [id, added] = texts.intern(hash(key), std::string_view(key), eq, make);
    auto [it, fresh] = model.emplace(key, model.size());
    ASSERT_EQ(added, fresh);
    ASSERT_EQ(id, it->second);
    if (added) refs.push_back(&texts[id]);
  }
  ASSERT_EQ(texts.size(), model.size());
  for (std::size_t id = 0; id < refs.size(); ++id) EXPECT_EQ(refs[id], &texts[id]);  // never moved
  EXPECT_EQ(texts.find(hash("absent"), std::string_view("absent"), eq), texts.npos);
}

TEST(Interner, AFailingMakeChangesNothing) {
  Interner<std::string> texts;
  auto eq = [](const std::string& stored, const std::string& key) { return stored == key; };
  texts.intern(1, std::string("a"), eq, [](const std::string& k) { return k; });
  EXPECT_THROW(texts.intern(2, std::string("b"), eq,
                            [](const std::string&) -> std::string { throw std::bad_alloc(); }),
               std::bad_alloc);
  EXPECT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts.find(2, std::string("b"), eq), texts.npos);
  auto [id, added] = texts.intern(2, std::string("b"), eq, [](const std::string& k) { return k; });
  EXPECT_TRUE(added);
  EXPECT_EQ(id, 1u);
}

}  // namespace
}  // namespace tavrine
