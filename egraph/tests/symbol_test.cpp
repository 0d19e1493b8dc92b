// Symbols, the interner and the e-node value type.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "egraph/egraph.h"

namespace egraph {
namespace {

TEST(Symbol, InterningIsStableAndDistinct) {
  const Symbol a = Symbol::intern("op|add|scalar=f0000000000000000;side=sr");
  const Symbol a2 = Symbol::intern(std::string("op|add|scalar=f0000000000000000;side=sr"));
  const Symbol b = Symbol::intern("op|add|scalar=f0000000000000000;side=sl");
  EXPECT_EQ(a, a2);
  EXPECT_NE(a, b);
  EXPECT_EQ(a.str(), "op|add|scalar=f0000000000000000;side=sr");
  EXPECT_EQ(Symbol::intern("").str(), "");
  EXPECT_NE(Symbol::intern("").value(), 0u);
}

TEST(Symbol, ValueEncodesShardAndPosition) {
  for (int i = 0; i < 200; ++i) {
    const std::string text = "shard-probe-" + std::to_string(i);
    const Symbol s = Symbol::intern(text);
    EXPECT_EQ(s.value() >> 28, text_hash(text) & 15u) << text;
    EXPECT_NE(s.value() & 0x0FFFFFFFu, 0u);
  }
  // The hash is fixed: a known text always lands in the same shard, run after run.
  EXPECT_EQ(text_hash("op|add"), text_hash(std::string("op|") + "add"));
}

TEST(Symbol, ConcurrentInterningGivesOneSymbolPerText) {
  constexpr int kThreads = 8;
  constexpr int kTexts = 3000;
  std::vector<std::vector<Symbol>> seen(kThreads, std::vector<Symbol>(kTexts));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &seen] {
      // Every thread interns the same texts, in a different order.
      for (int k = 0; k < kTexts; ++k) {
        const int i = (k * 7 + t * 131) % kTexts;
        seen[t][i] = Symbol::intern("race|" + std::to_string(i));
        // Resolve while others are appending to the same shards.
        if (seen[t][i].str() != "race|" + std::to_string(i)) std::abort();
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int i = 0; i < kTexts; ++i) {
    for (int t = 1; t < kThreads; ++t) ASSERT_EQ(seen[t][i], seen[0][i]) << i;
    ASSERT_EQ(Symbol::intern("race|" + std::to_string(i)), seen[0][i]);
  }
}

TEST(SymbolLang, HashIsTheMultiplyRotateFold) {
  const Symbol f = Symbol::intern("f");
  const SymbolLang n(f, {3, 9});
  auto step = [](std::uint64_t h, std::uint64_t w) { return (((h << 5) | (h >> 59)) ^ w) * 0x517cc1b727220a95ULL; };
  std::uint64_t h = 0;
  for (std::uint64_t w : {std::uint64_t{f.value()}, std::uint64_t{2}, std::uint64_t{3}, std::uint64_t{9}}) h = step(h, w);
  EXPECT_EQ(n.hash(), h);
  EXPECT_EQ(hash_class_id(7), 7 * 0x517cc1b727220a95ULL);
}

TEST(SymbolLang, OrderEqualityAndMatches) {
  const Symbol f = Symbol::intern("f");
  const Symbol g = Symbol::intern("g");
  const Symbol lo = f < g ? f : g;
  const Symbol hi = f < g ? g : f;
  EXPECT_LT(SymbolLang(lo, {9, 9}), SymbolLang(hi, {0}));  // op first
  EXPECT_LT(SymbolLang(f, {1, 2}), SymbolLang(f, {1, 3}));  // then children
  EXPECT_LT(SymbolLang(f, {1}), SymbolLang(f, {1, 0}));     // a prefix first
  EXPECT_LT(SymbolLang(f, {0u, 0u}), SymbolLang(f, {0xFFFFFFFFu}));
  EXPECT_LT(SymbolLang(f, {1, 0}), SymbolLang(f, {2}));     // unsigned, element by element
  EXPECT_EQ(SymbolLang(f, {1, 2}), SymbolLang(f, {1, 2}));
  EXPECT_NE(SymbolLang(f, {1, 2}), SymbolLang(f, {2, 1}));

  EXPECT_TRUE(SymbolLang(f, {1, 2}).matches(SymbolLang(f, {7, 9})));
  EXPECT_FALSE(SymbolLang(f, {1, 2}).matches(SymbolLang(f, {7})));
  EXPECT_FALSE(SymbolLang(f, {1}).matches(SymbolLang(g, {1})));
}

TEST(SymbolLang, ChildListsBeyondInlineCapacity) {
  const Symbol f = Symbol::intern("wide");
  std::vector<ClassId> kids;
  for (ClassId i = 0; i < 37; ++i) kids.push_back(i * 3);
  SymbolLang a(f, kids);
  SymbolLang b = a;
  ASSERT_EQ(b.children.size(), 37u);
  EXPECT_EQ(a, b);
  b.children[36] = 1;
  EXPECT_NE(a, b);
  SymbolLang c = std::move(b);
  EXPECT_EQ(c.children[36], 1u);
  EXPECT_EQ(c.children[35], 105u);
}

}  // namespace
}  // namespace egraph
