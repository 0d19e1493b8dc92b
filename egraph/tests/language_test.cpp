// Symbols and the e-node value type.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "egraph/egraph.h"

namespace egraph {
namespace {

TEST(Symbol, PrintsItsValue) {
  std::ostringstream os;
  os << Symbol::from_value(7) << ' ' << Symbol() << ' ' << SymbolLang(Symbol::from_value(3), {1, 2});
  EXPECT_EQ(os.str(), "7 <none> SymbolLang { op: \"3\", children: [1, 2] }");
}


TEST(SymbolLang, HashIsTheMultiplyRotateFold) {
  const Symbol f = Symbol::from_value(11);
  const SymbolLang n(f, {3, 9});
  auto step = [](std::uint64_t h, std::uint64_t w) { return (((h << 5) | (h >> 59)) ^ w) * 0x517cc1b727220a95ULL; };
  std::uint64_t h = 0;
  for (std::uint64_t w : {std::uint64_t{f.value()}, std::uint64_t{2}, std::uint64_t{3}, std::uint64_t{9}}) h = step(h, w);
  EXPECT_EQ(n.hash(), h);
  EXPECT_EQ(hash_class_id(7), 7 * 0x517cc1b727220a95ULL);
}

TEST(SymbolLang, OrderEqualityAndMatches) {
  const Symbol f = Symbol::from_value(11);
  const Symbol g = Symbol::from_value(5);
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
  const Symbol f = Symbol::from_value(2);
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
