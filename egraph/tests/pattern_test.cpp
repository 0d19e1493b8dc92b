// Pattern compilation, the matching machine, search limits and apply.
#include <gtest/gtest.h>

#include <algorithm>

#include "egraph/egraph.h"
#include "inspect.h"
#include "test_symbols.h"

namespace egraph {
namespace {

using test::S;
ClassId leaf(EGraph& g, std::string_view t) { return g.add(SymbolLang(S(t))); }

TEST(Compile, BinaryOpIsOneBind) {
  const Program p = test::P("(op|add ?a ?b)").program();
  ASSERT_EQ(p.instructions.size(), 1u);
  EXPECT_EQ(p.instructions[0], Instruction::bind(S("op|add"), 2, 0, 1));
  ASSERT_EQ(p.subst.size(), 2u);
  EXPECT_EQ(p.subst[0], std::make_pair(S("?a"), Reg{1}));
  EXPECT_EQ(p.subst[1], std::make_pair(S("?b"), Reg{2}));
}

TEST(Compile, RepeatedVariableBecomesCompare) {
  const Program p = test::P("(op|mul ?x ?x)").program();
  ASSERT_EQ(p.instructions.size(), 2u);
  EXPECT_EQ(p.instructions[0], Instruction::bind(S("op|mul"), 2, 0, 1));
  EXPECT_EQ(p.instructions[1], Instruction::compare(2, 1));
  ASSERT_EQ(p.subst.size(), 1u);
  EXPECT_EQ(p.subst[0], std::make_pair(S("?x"), Reg{1}));
}

TEST(Compile, BoundSubtermBecomesLookup) {
  const Program p = test::P("(f (g ?x) ?x)").program();
  ASSERT_EQ(p.instructions.size(), 2u);
  EXPECT_EQ(p.instructions[0], Instruction::bind(S("f"), 2, 0, 1));
  LookupElem reg;
  reg.is_reg = true;
  reg.reg = 2;
  LookupElem g;
  g.op = S("g");
  g.children = {0};
  EXPECT_EQ(p.instructions[1], Instruction::lookup({reg, g}, 1));
  ASSERT_EQ(p.subst.size(), 1u);
  EXPECT_EQ(p.subst[0], std::make_pair(S("?x"), Reg{2}));
}

TEST(Compile, LookupTermsWriteEqualElementsOnce) {
  // (f ?x (h ?x ?x)): after binding f's children, (h ?x ?x) is fully bound.
  const Program p = test::P("(f ?x (h ?x ?x))").program();
  ASSERT_EQ(p.instructions.size(), 2u);
  const Instruction& in = p.instructions[1];
  ASSERT_EQ(in.kind, Instruction::Kind::Lookup);
  ASSERT_EQ(in.term.size(), 2u);  // Reg(1) once, then h[0, 0]
  EXPECT_TRUE(in.term[0].is_reg);
  EXPECT_EQ(in.term[1].children, (IdList{0, 0}));
  EXPECT_EQ(in.i, 2u);
}

TEST(Compile, PrefersSubtermsBindingMoreVariables) {
  // (f (g ?a) (h ?b ?c)): after f, the h child (two new variables) is bound before g.
  const Program p = test::P("(f (g ?a) (h ?b ?c))").program();
  ASSERT_EQ(p.instructions.size(), 3u);
  EXPECT_EQ(p.instructions[1], Instruction::bind(S("h"), 2, 2, 3));
  EXPECT_EQ(p.instructions[2], Instruction::bind(S("g"), 1, 1, 5));
  ASSERT_EQ(p.subst.size(), 3u);
  EXPECT_EQ(p.subst[0].first, S("?b"));
  EXPECT_EQ(p.subst[2].first, S("?a"));
  // A ground leaf is a Bind without children; a lone variable compiles to nothing.
  const Program leaf_prog = test::P("c").program();
  ASSERT_EQ(leaf_prog.instructions.size(), 1u);
  EXPECT_EQ(leaf_prog.instructions[0], Instruction::bind(S("c"), 0, 0, 1));
  EXPECT_TRUE(test::P("?v").program().instructions.empty());
}

TEST(Search, TwoSubstitutionsInNodeOrder) {
  EGraph g;
  const ClassId x = leaf(g, "x"), y = leaf(g, "y");
  const ClassId xy = g.add(SymbolLang(S("op|add"), {x, y}));
  const ClassId yx = g.add(SymbolLang(S("op|add"), {y, x}));
  g.union_classes(xy, yx);
  g.rebuild();
  const Pattern p = test::P("(op|add ?a ?b)");
  const auto substs = p.run_with_limit(g, g.find(xy), 10);
  ASSERT_EQ(substs.size(), 2u);
  EXPECT_EQ(substs[0].get(S("?a")), x);
  EXPECT_EQ(substs[0].get(S("?b")), y);
  EXPECT_EQ(substs[1].get(S("?a")), y);
  EXPECT_EQ(substs[1].get(S("?b")), x);
  EXPECT_THROW(substs[0].get(S("?zz")), tavrine::Panic);
  // A limit of 1 stops after the first.
  const auto one = p.run_with_limit(g, g.find(xy), 1);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0], substs[0]);
  EXPECT_TRUE(p.run_with_limit(g, g.find(xy), 0).empty());
  const MatchSet m = p.search_with_limit(g, 1);
  EXPECT_EQ(m.total(), 1u);
  EXPECT_EQ(m.to_search_matches().size(), 1u);
}

TEST(Search, RepeatedVariableNeedsEqualClasses) {
  EGraph g;
  const ClassId x = leaf(g, "x"), y = leaf(g, "y");
  const ClassId xx = g.add(SymbolLang(S("op|mul"), {x, x}));
  g.add(SymbolLang(S("op|mul"), {x, y}));
  g.rebuild();
  const MatchSet m = test::P("(op|mul ?x ?x)").search(g);
  ASSERT_EQ(m.num_groups(), 1u);
  EXPECT_EQ(m.classes[0], xx);
  EXPECT_EQ(m.row(0)[0], x);
}

TEST(Search, LookupNeedsTheBoundSubtermInTheRightClass) {
  EGraph g;
  const ClassId x = leaf(g, "x"), c = leaf(g, "c");
  const ClassId fcx = g.add(SymbolLang(S("f"), {c, x}));
  g.rebuild();
  const Pattern p = test::P("(f (g ?x) ?x)");
  EXPECT_EQ(p.search(g).total(), 0u);  // g(x) does not exist
  const ClassId gx = g.add(SymbolLang(S("g"), {x}));
  g.rebuild();
  EXPECT_EQ(p.search(g).total(), 0u);  // exists, but not in class c
  g.union_classes(gx, c);
  g.rebuild();
  const MatchSet m = p.search(g);
  ASSERT_EQ(m.total(), 1u);
  EXPECT_EQ(m.classes[0], g.find(fcx));
  EXPECT_EQ(m.subst(0).get(S("?x")), x);
}

TEST(Search, LimitsUnwindNestedBinds) {
  // f(a_i, b_j) for many combinations inside one class, searched with a nested pattern.
  EGraph g;
  std::vector<ClassId> as, bs;
  for (int i = 0; i < 4; ++i) as.push_back(g.add(SymbolLang(S("k"), {leaf(g, "a" + std::to_string(i))})));
  for (int i = 1; i < 4; ++i) g.union_classes(as[0], as[i]);
  for (int i = 0; i < 4; ++i) bs.push_back(g.add(SymbolLang(S("k"), {leaf(g, "b" + std::to_string(i))})));
  for (int i = 1; i < 4; ++i) g.union_classes(bs[0], bs[i]);
  const ClassId top = g.add(SymbolLang(S("f"), {as[0], bs[0]}));
  g.rebuild();
  const Pattern p = test::P("(f (k ?a) (k ?b))");
  EXPECT_EQ(p.run_with_limit(g, top, 100).size(), 16u);
  for (std::size_t limit : {1u, 5u, 15u, 16u, 17u}) {
    EXPECT_EQ(p.run_with_limit(g, top, limit).size(), std::min<std::size_t>(limit, 16));
    EXPECT_EQ(p.search_with_limit(g, limit).total(), std::min<std::size_t>(limit, 16));
  }
  // The first substitutions are a prefix of the full list.
  const auto all = p.run_with_limit(g, top, 100);
  const auto some = p.run_with_limit(g, top, 7);
  for (std::size_t k = 0; k < some.size(); ++k) EXPECT_EQ(some[k], all[k]);
}

TEST(Search, DirtyGraphPanics) {
  EGraph g;
  const ClassId a = leaf(g, "a");
  g.add(SymbolLang(S("f"), {a}));
  g.rebuild();
  g.add(SymbolLang(S("f"), {g.add(SymbolLang(S("b")))}));
  const Pattern p = test::P("(f ?x)");
  try {
    p.search(g);
    FAIL() << "expected Panic";
  } catch (const tavrine::Panic& f) {
    EXPECT_STREQ(f.what(), "Tried to search a dirty e-graph!");
  }
  EXPECT_THROW(p.run_with_limit(g, a, 1), tavrine::Panic);
  EXPECT_THROW(test::P("?x").search(g), tavrine::Panic);
  // Never rebuilt: there is no kind index yet, so there is nothing to visit.
  EGraph fresh;
  fresh.add(SymbolLang(S("f"), {leaf(fresh, "a")}));
  EXPECT_EQ(p.search(fresh).total(), 0u);
  // A limit of 0 searches nothing.
  EXPECT_EQ(p.search_with_limit(g, 0).total(), 0u);
}

TEST(Search, VariableRootMatchesEveryClass) {
  EGraph g;
  leaf(g, "a");
  leaf(g, "b");
  g.union_classes(0, 1);
  leaf(g, "c");
  g.rebuild();
  const MatchSet m = test::P("?x").search(g);
  ASSERT_EQ(m.total(), 2u);
  EXPECT_EQ(m.classes, (std::vector<ClassId>{0, 2}));
}

TEST(Apply, MergesInstantiationFirstAndSkipsExistingOnes) {
  EGraph g;
  const ClassId x = leaf(g, "x"), y = leaf(g, "y");
  const ClassId xy = g.add(SymbolLang(S("op|add"), {x, y}));
  g.rebuild();
  const Pattern lhs = test::P("(op|add ?a ?b)");
  const Pattern rhs = test::P("(op|add ?b ?a)");
  const MatchSet m = lhs.search(g);
  const auto ids = rhs.apply_matches(g, m, S("commute-add"));
  ASSERT_EQ(ids.size(), 1u);
  const ClassId yx = ids[0];
  // Tie on parent counts (none each): the instantiation's root survives.
  EXPECT_EQ(g.find(xy), yx);
  g.rebuild();
  // Now both orders are in the class: applying again merges nothing.
  const MatchSet again = lhs.search(g);
  EXPECT_EQ(again.total(), 2u);
  EXPECT_TRUE(rhs.apply_matches(g, again, S("commute-add")).empty());
  // An identity applier only merges existing classes.
  const ClassId idn = g.add(SymbolLang(S("op|add|scalar=f0000000000000000;side=sr"), {x}));
  g.rebuild();
  const auto merged = test::P("?x").apply_matches(
      g, test::P("(op|add|scalar=f0000000000000000;side=sr ?x)").search(g), S("identity-0"));
  ASSERT_EQ(merged.size(), 1u);
  EXPECT_EQ(g.find(idn), g.find(x));
}

TEST(Apply, RowsFoundInTheirClassAreLeftOutOnlyWhileTheirClassesStayRoots) {
  // C holds add(X, y) and add(y, X); X = add(p, q) and X' = add(q, p) are apart, and X'
  // has more parents. Applying commute-add to X merges it into X', after which C's rows
  // read a class that is no longer a root: their instantiations are new nodes again.
  auto build = [](EGraph& g, ClassId& c) {
    const ClassId p = leaf(g, "p"), q = leaf(g, "q"), y = leaf(g, "y");
    const ClassId x = g.add(SymbolLang(S("op|add"), {p, q}));
    const ClassId x2 = g.add(SymbolLang(S("op|add"), {q, p}));
    for (const char* f : {"f", "g", "h"}) g.add(SymbolLang(S(f), {x2}));
    c = g.add(SymbolLang(S("op|add"), {x, y}));
    g.union_classes(c, g.add(SymbolLang(S("op|add"), {y, x})));
    g.rebuild();
  };
  const Pattern lhs = test::P("(op|add ?a ?b)");
  const Pattern rhs = test::P("(op|add ?b ?a)");
  EGraph plain, marked;
  ClassId c = 0;
  build(plain, c);
  build(marked, c);
  const MatchSet m = lhs.search_with_limit(marked, ~std::size_t{0}, nullptr, &rhs);
  ASSERT_EQ(m.present.size(), m.total());
  EXPECT_EQ(std::count(m.present.begin(), m.present.end(), 1), 2);  // both rows of C
  const std::size_t size = plain.total_size();
  const auto a = rhs.apply_matches(plain, lhs.search(plain), S("commute-add"));
  const auto b = rhs.apply_matches(marked, m, S("commute-add"));
  EXPECT_EQ(a, b);
  EXPECT_EQ(plain.total_size(), size + 2);  // C's rows added add(X', y) and add(y, X')
  EXPECT_EQ(marked.total_size(), size + 2);
  EXPECT_FALSE(marked.is_clean());
  EXPECT_EQ(plain.rebuild(), marked.rebuild());
  EXPECT_EQ(test::class_nodes(plain, c), test::class_nodes(marked, c));
  // Matches marked for one applier are applied in full by another.
  const MatchSet again = lhs.search_with_limit(marked, ~std::size_t{0}, nullptr, &rhs);
  const Pattern other = test::P("(op|add ?b ?a)");
  const std::size_t before = marked.total_size();
  other.apply_matches(marked, again, S("commute-add"));
  EXPECT_EQ(marked.total_size(), before);
  EXPECT_FALSE(marked.is_clean());
}

TEST(Rewrite, RejectsUnboundApplierVariables) {
  auto r = Rewrite::make("swap", test::P("(f ?a ?b)"), test::P("(f ?c (g ?b ?d))"), test::symbols());
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "Rewrite swap refers to unbound var ?c");
  try {
    test::make_rule("x", test::P("(f ?a)"), test::P("?b"));
    FAIL();
  } catch (const tavrine::Panic& f) {
    EXPECT_STREQ(f.what(), "Rewrite x refers to unbound var ?b");
  }
  auto ok = Rewrite::make("ok", test::P("(f ?a ?b)"), test::P("(g ?b)"), test::symbols());
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok->name(), S("ok"));
  EXPECT_EQ(ok->name_text(), "ok");
}

}  // namespace
}  // namespace egraph
