// The e-graph core: add, union, rebuild and their bookkeeping.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>

#include "egraph/egraph.h"
#include "inspect.h"
#include "test_symbols.h"

namespace egraph {
namespace {

using test::S;
ClassId leaf(EGraph& g, std::string_view t) { return g.add(SymbolLang(S(t))); }

TEST(EGraph, NewGraphIsEmptyAndNotClean) {
  EGraph g;
  EXPECT_EQ(g.total_size(), 0u);
  EXPECT_EQ(g.number_of_classes(), 0u);
  EXPECT_FALSE(g.is_clean());
  EXPECT_EQ(g.rebuild(), 0u);
  EXPECT_TRUE(g.is_clean());
}

TEST(EGraph, AddingTheSameNodeTwiceChangesNothing) {
  EGraph g;
  const ClassId a = leaf(g, "a");
  const ClassId fa = g.add(SymbolLang(S("f"), {a}));
  g.rebuild();
  ASSERT_TRUE(g.is_clean());
  EXPECT_EQ(g.add(SymbolLang(S("f"), {a})), fa);
  EXPECT_TRUE(g.is_clean());  // nothing new: still clean
  EXPECT_EQ(g.total_size(), 2u);
  EXPECT_EQ(g.number_of_ids(), 2u);
  // Children are rooted before the lookup.
  const ClassId b = leaf(g, "b");
  g.union_classes(a, b);
  g.rebuild();
  EXPECT_EQ(g.add(SymbolLang(S("f"), {b})), g.find(fa));
  EXPECT_EQ(g.lookup(SymbolLang(S("f"), {b})), g.find(fa));
  EXPECT_EQ(g.lookup(SymbolLang(S("f"), {fa})), std::nullopt);
  EXPECT_EQ(g.total_size(), 3u);  // lookup never adds
}

TEST(EGraph, RepeatedChildGetsTwoParentEntries) {
  EGraph g;
  const ClassId x = leaf(g, "x");
  const ClassId fxx = g.add(SymbolLang(S("f"), {x, x}));
  const auto parents = test::class_parents(g, x);
  ASSERT_EQ(parents.size(), 2u);
  EXPECT_EQ(parents[0].second, fxx);
  EXPECT_EQ(parents[1].second, fxx);
  EXPECT_EQ(parents[0].first, SymbolLang(S("f"), {x, x}));
}

TEST(EGraph, SelfUnionIsFalseButDirties) {
  EGraph g;
  const ClassId a = leaf(g, "a");
  g.rebuild();
  EXPECT_FALSE(g.union_classes(a, a));
  EXPECT_FALSE(g.is_clean());
}

TEST(EGraph, UnionWinnerByParentCountTiesToFirstArgument) {
  {
    EGraph g;
    const ClassId a = leaf(g, "a");
    const ClassId b = leaf(g, "b");
    EXPECT_TRUE(g.union_classes(a, b));
    EXPECT_EQ(g.find(b), a);
  }
  {
    EGraph g;
    const ClassId a = leaf(g, "a");
    const ClassId b = leaf(g, "b");
    EXPECT_TRUE(g.union_classes(b, a));
    EXPECT_EQ(g.find(a), b);  // tie: the first argument's root
  }
  {
    EGraph g;
    const ClassId a = leaf(g, "a");
    const ClassId b = leaf(g, "b");
    g.add(SymbolLang(S("f"), {b}));
    EXPECT_TRUE(g.union_classes(a, b));
    EXPECT_EQ(g.find(a), b);  // b has more parent entries
    EXPECT_FALSE(g.union_classes(b, a));
  }
}

TEST(EGraph, UnionConcatenatesLongerListFirst) {
  EGraph g;
  // Class A: nodes [a1, a2, a3] (merged in), one parent. Class B: nodes [b], two parents.
  const ClassId a1 = leaf(g, "a1"), a2 = leaf(g, "a2"), a3 = leaf(g, "a3");
  g.union_classes(a1, a2);
  g.union_classes(a1, a3);
  const ClassId b = leaf(g, "b");
  const ClassId pa = g.add(SymbolLang(S("p"), {a1}));
  const ClassId pb1 = g.add(SymbolLang(S("q"), {b}));
  const ClassId pb2 = g.add(SymbolLang(S("r"), {b}));
  ASSERT_EQ(test::class_nodes(g, a1), (std::vector<SymbolLang>{SymbolLang(S("a1")), SymbolLang(S("a2")), SymbolLang(S("a3"))}));
  EXPECT_TRUE(g.union_classes(a1, b));
  // b survives (two parents against one).
  EXPECT_EQ(g.find(a1), b);
  // Nodes: the longer list (the loser's) first, then the winner's.
  EXPECT_EQ(test::class_nodes(g, b), (std::vector<SymbolLang>{SymbolLang(S("a1")), SymbolLang(S("a2")), SymbolLang(S("a3")),
                                                       SymbolLang(S("b"))}));
  // Parents: the winner's longer list first.
  const auto parents = test::class_parents(g, b);
  ASSERT_EQ(parents.size(), 3u);
  EXPECT_EQ(parents[0].second, pb1);
  EXPECT_EQ(parents[1].second, pb2);
  EXPECT_EQ(parents[2].second, pa);
  // The loser's parents were queued for repair.
  EXPECT_GE(g.pending_count(), 1u);
  // Equal lengths: the winner's list first.
  EGraph h;
  const ClassId x = leaf(h, "x"), y = leaf(h, "y");
  h.union_classes(y, x);
  EXPECT_EQ(test::class_nodes(h, y), (std::vector<SymbolLang>{SymbolLang(S("y")), SymbolLang(S("x"))}));
}

TEST(EGraph, RebuildRestoresCongruenceAndKeepsStaleKeysCounted) {
  EGraph g;
  const ClassId a = leaf(g, "a");
  const ClassId b = leaf(g, "b");
  const ClassId fa = g.add(SymbolLang(S("f"), {a}));
  const ClassId fb = g.add(SymbolLang(S("f"), {b}));
  g.rebuild();
  EXPECT_TRUE(g.union_classes(a, b));
  // Until rebuild the memo holds both f entries and the f classes are apart.
  EXPECT_EQ(g.total_size(), 4u);
  EXPECT_NE(g.find(fa), g.find(fb));
  EXPECT_FALSE(g.is_clean());
  EXPECT_EQ(g.rebuild(), 1u);  // one counted merge: the two f classes
  EXPECT_TRUE(g.is_clean());
  EXPECT_EQ(g.find(fa), g.find(fb));
  EXPECT_EQ(g.total_size(), 4u);  // the stale f(b) key stays counted
  EXPECT_EQ(g.number_of_classes(), 2u);
  const auto nodes = test::class_nodes(g, fa);
  ASSERT_EQ(nodes.size(), 1u);  // duplicates trimmed
  EXPECT_EQ(nodes[0], SymbolLang(S("f"), {g.find(a)}));
  EXPECT_EQ(g.last_trimmed(), 1u);
}

TEST(EGraph, RebuildSortsAndDeduplicatesClassNodes) {
  EGraph g;
  const ClassId x = leaf(g, "x");
  const ClassId y = leaf(g, "y");
  const ClassId z = leaf(g, "z");
  const ClassId h1 = g.add(SymbolLang(S("h"), {y}));
  const ClassId h2 = g.add(SymbolLang(S("h"), {x}));
  const ClassId h3 = g.add(SymbolLang(S("h"), {z}));
  g.union_classes(h1, h2);
  g.union_classes(h1, h3);
  g.union_classes(y, z);
  EXPECT_EQ(g.rebuild(), 0u);  // no new congruences: h(y)=h(z) are in one class already
  const auto nodes = test::class_nodes(g, h1);
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_LT(nodes[0], nodes[1]);
  // A rebuild with nothing pending changes nothing and reports 0 merges.
  EXPECT_EQ(g.rebuild(), 0u);
  EXPECT_EQ(test::class_nodes(g, h1), nodes);
}

TEST(EGraph, CongruenceCascades) {
  // a = b makes f(a) = f(b), then g(f(a)) = g(f(b)), and so on up a tower.
  EGraph g;
  ClassId l = leaf(g, "a"), r = leaf(g, "b");
  std::vector<std::pair<ClassId, ClassId>> tower;
  for (int i = 0; i < 50; ++i) {
    l = g.add(SymbolLang(S("f"), {l}));
    r = g.add(SymbolLang(S("f"), {r}));
    tower.emplace_back(l, r);
  }
  g.rebuild();
  g.union_classes(0, 1);
  EXPECT_EQ(g.rebuild(), 50u);
  for (auto [x, y] : tower) EXPECT_EQ(g.find(x), g.find(y));
  EXPECT_EQ(g.number_of_classes(), 51u);
}

// Two wide nodes over k pairs of leaves; each union of a pair queues both wide nodes again.
// Returns the rebuild work that the k unions cost, and checks the wide nodes end up merged.
std::size_t wide_twins_rebuild_work(int k) {
  EGraph g;
  std::vector<ClassId> left, right;
  for (int i = 0; i < k; ++i) {
    left.push_back(leaf(g, "l" + std::to_string(i)));
    right.push_back(leaf(g, "r" + std::to_string(i)));
  }
  const ClassId wl = g.add(SymbolLang(S("cat"), left));
  const ClassId wr = g.add(SymbolLang(S("cat"), right));
  g.rebuild();
  const std::size_t before = g.rebuild_work();
  for (int i = 0; i < k; ++i) g.union_classes(left[i], right[i]);
  EXPECT_EQ(g.rebuild(), 1u);
  EXPECT_EQ(g.find(wl), g.find(wr));
  EXPECT_EQ(test::class_nodes(g, wl).size(), 1u);
  return g.rebuild_work() - before;
}

TEST(EGraph, RebuildWorkIsLinearUnderAWideNodeWhoseChildrenMergeOneByOne) {
  const std::size_t small = wide_twins_rebuild_work(500);
  const std::size_t large = wide_twins_rebuild_work(8000);  // 16 times as wide
  // Each entry is read in full once: about k entries of one unit and two of width k.
  EXPECT_LE(small, 8u * 500u);
  EXPECT_LE(large, 8u * 8000u);
  EXPECT_LE(large, 20u * small);  // quadratic work would be 256 times
}

// Each id's class, named by the smallest id in it.
std::vector<ClassId> partition(const EGraph& g) {
  constexpr ClassId kNone = ~ClassId{0};
  std::vector<ClassId> first(g.number_of_ids(), kNone), out;
  for (ClassId i = 0; i < g.number_of_ids(); ++i) {
    ClassId& f = first[g.find(i)];
    if (f == kNone) f = i;
    out.push_back(f);
  }
  return out;
}

TEST(EGraph, RebuildsCutShortAndResumedMergeWhatOneRebuildMerges) {
  // Narrow and wide nodes over few leaves, so that unions queue many entries and a wide
  // node often sits in the stack more than once. One e-graph rebuilds after every batch of
  // unions; the other is cut short by an expired deadline after each batch (leaving
  // entries queued, stale ones among them) and rebuilt in full only at the end.
  std::mt19937_64 rng(5);
  for (int round = 0; round < 12; ++round) {
    const std::uint64_t seed = rng();
    EGraph whole, staged;
    for (EGraph* g : {&whole, &staged}) {
      std::mt19937_64 r(seed);
      std::vector<ClassId> ids;
      for (int i = 0; i < 40; ++i) ids.push_back(leaf(*g, "x" + std::to_string(i)));
      for (int i = 0; i < 20000; ++i) {
        std::vector<ClassId> kids;
        const std::size_t width = r() % 4 == 0 ? 3 + r() % 12 : 1 + r() % 2;
        for (std::size_t c = 0; c < width; ++c) kids.push_back(ids[r() % (r() % 2 ? 40 : ids.size())]);
        ids.push_back(g->add(SymbolLang(S(r() % 2 ? "f" : "g"), kids)));
      }
      g->rebuild();
    }
    std::mt19937_64 u(rng());
    const Deadline expired{Deadline::Clock::now() - std::chrono::seconds(1), std::chrono::nanoseconds(0)};
    bool cut_short = false;
    for (int batch = 0; batch < 4; ++batch) {
      for (int i = 0; i < 6; ++i) {
        const ClassId a = static_cast<ClassId>(u() % 40), b = static_cast<ClassId>(u() % 40);
        whole.union_classes(a, b);
        staged.union_classes(a, b);
      }
      whole.rebuild();
      std::size_t merges = 0;
      cut_short |= !staged.rebuild_until(expired, merges);
    }
    EXPECT_TRUE(cut_short);
    staged.rebuild();
    EXPECT_EQ(partition(whole), partition(staged));
    EXPECT_EQ(whole.number_of_classes(), staged.number_of_classes());
  }
}

TEST(EGraph, InvalidIdsPanic) {
  EGraph g;
  leaf(g, "a");
  EXPECT_THROW(g.find(1), tavrine::Panic);
  EXPECT_THROW(g.find_mut(5), tavrine::Panic);
  EXPECT_THROW(g.union_classes(0, 3), tavrine::Panic);
  EXPECT_THROW(g.add(SymbolLang(S("f"), {9})), tavrine::Panic);
  EXPECT_THROW(test::class_nodes(g, 2), tavrine::Panic);
  try {
    g.class_refs(7);
    FAIL();
  } catch (const tavrine::Panic& f) {
    EXPECT_STREQ(f.what(), "Invalid id 7");
  }
  try {
    g.find(4);
    FAIL();
  } catch (const tavrine::Panic& f) {
    EXPECT_STREQ(f.what(), "index out of bounds: the len is 1 but the index is 4");
  }
}

TEST(EGraph, FindDoesNotWriteAndFindMutHalvesPaths) {
  EGraph g;
  std::vector<ClassId> ids;
  for (int i = 0; i < 8; ++i) ids.push_back(leaf(g, "n" + std::to_string(i)));
  // Build a chain by always giving the next class more parents.
  for (int i = 1; i < 8; ++i) {
    g.add(SymbolLang(S("p" + std::to_string(i)), {ids[i]}));
    g.add(SymbolLang(S("q" + std::to_string(i)), {ids[i]}));
  }
  const EGraph& cg = g;
  for (int i = 0; i < 8; ++i) EXPECT_EQ(cg.find(ids[i]), cg.find(ids[i]));
  g.union_classes(0, 1);
  for (int i = 2; i < 8; ++i) g.union_classes(ids[i - 1], ids[i]);
  const ClassId root = g.find(0);
  for (ClassId id : ids) {
    EXPECT_EQ(g.find(id), root);
    EXPECT_EQ(g.find_mut(id), root);
  }
}

TEST(EGraph, OperatorIndexListsRootsOfClassesHoldingTheOp) {
  EGraph g;
  const ClassId a = leaf(g, "a"), b = leaf(g, "b");
  const ClassId f1 = g.add(SymbolLang(S("f"), {a}));
  const ClassId f2 = g.add(SymbolLang(S("f"), {b}));
  g.index_op(S("f"), 1);
  g.index_op(S("f"), 2);
  g.index_op(S("a"), 0);
  const ClassId f3 = g.add(SymbolLang(S("f"), {a, b}));  // registered before: kept up to date
  g.rebuild();
  auto list = [&](std::string_view op, std::uint32_t arity) {
    const std::vector<ClassId>* l = g.indexed_classes(S(op), arity);
    return l ? *l : std::vector<ClassId>{9999};
  };
  EXPECT_EQ(list("f", 1), (std::vector<ClassId>{f1, f2}));
  EXPECT_EQ(list("f", 2), (std::vector<ClassId>{f3}));
  EXPECT_EQ(g.indexed_classes(S("f"), 3), nullptr);
  EXPECT_EQ(g.indexed_classes(S("nope"), 0), nullptr);
  g.union_classes(f3, a);
  g.union_classes(f2, f1);
  g.rebuild();
  EXPECT_EQ(list("f", 1), (std::vector<ClassId>{g.find(f1)}));  // f(a) and f(b) merged
  EXPECT_EQ(list("f", 2), (std::vector<ClassId>{g.find(a)}));   // f3 now lives in a's class
  EXPECT_EQ(list("a", 0), (std::vector<ClassId>{g.find(a)}));
  // Registering after merges lists roots only.
  g.index_op(S("b"), 0);
  EXPECT_EQ(list("b", 0), (std::vector<ClassId>{g.find(b)}));
}

TEST(EGraph, OperatorIndexAfterManyOrFewMerges) {
  // Merging most of an operator's classes, or a handful, leaves the index listing exactly
  // the ascending roots of the classes holding the operator.
  for (int many = 0; many < 2; ++many) {
    std::mt19937_64 rng(23 + many);
    EGraph g;
    g.index_op(S("f"), 1);
    std::vector<ClassId> leaves, fs;
    for (int i = 0; i < 3000; ++i) leaves.push_back(leaf(g, "l" + std::to_string(i)));
    for (int i = 0; i < 3000; ++i) fs.push_back(g.add(SymbolLang(S("f"), {leaves[rng() % leaves.size()]})));
    g.rebuild();
    const int unions = many ? 2500 : 40;
    for (int u = 0; u < unions; ++u) g.union_classes(fs[rng() % fs.size()], leaves[rng() % leaves.size()]);
    g.rebuild();
    std::vector<ClassId> want;
    for (ClassId id : g.class_ids()) {
      for (const SymbolLang& n : test::class_nodes(g, id)) {
        if (n.op == S("f") && n.children.size() == 1) {
          want.push_back(id);
          break;
        }
      }
    }
    EXPECT_EQ(*g.indexed_classes(S("f"), 1), want);
  }
}

TEST(EGraph, AddGraphEqualsAddingNodeByNode) {
  std::mt19937_64 rng(5);
  const Symbol ops[] = {S("x"), S("y"), S("f"), S("g"), S("h")};
  for (int round = 0; round < 20; ++round) {
    // Random small vocabularies so that many nodes repeat (hash-consing) and share children.
    const std::size_t n = 50 + rng() % 2000;
    std::vector<Symbol> op;
    std::vector<std::uint32_t> off{0}, pos;
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t arity = i == 0 ? 0 : rng() % 4;
      op.push_back(arity == 0 ? ops[rng() % 2] : ops[2 + rng() % 3]);
      for (std::size_t k = 0; k < arity; ++k) pos.push_back(static_cast<std::uint32_t>(rng() % i));
      off.push_back(static_cast<std::uint32_t>(pos.size()));
    }
    EGraph a, b;
    if (round % 2) b.reserve(n, pos.size());
    std::vector<ClassId> ida(n), idb(n);
    for (std::size_t i = 0; i < n; ++i) {
      std::vector<ClassId> kids;
      for (std::uint32_t k = off[i]; k < off[i + 1]; ++k) kids.push_back(ida[pos[k]]);
      ida[i] = a.find(a.add(op[i], kids));
    }
    b.add_graph(op, off, pos, idb);
    ASSERT_EQ(ida, idb);
    ASSERT_EQ(a.total_size(), b.total_size());
    // The same graph with its operators given as numbers of a numbering of its own.
    std::vector<std::uint32_t> numbers;
    for (Symbol s : op) numbers.push_back(static_cast<std::uint32_t>(std::find(std::begin(ops), std::end(ops), s) - ops));
    EGraph c;
    std::vector<ClassId> idc(n);
    c.add_graph(numbers, off, pos, idc);
    ASSERT_EQ(idc, ida);
    ASSERT_EQ(c.total_size(), a.total_size());
    ASSERT_EQ(a.number_of_ids(), b.number_of_ids());
    for (ClassId id : a.class_ids()) {
      ASSERT_EQ(test::class_parents(a, id), test::class_parents(b, id));
    }
    ASSERT_EQ(a.rebuild(), b.rebuild());
  }
  EGraph g;
  std::vector<ClassId> out(2);
  const std::vector<Symbol> bad_ops{S("x"), S("f")};
  EXPECT_THROW(g.add_graph(bad_ops, std::vector<std::uint32_t>{0, 0, 1}, std::vector<std::uint32_t>{1}, out), tavrine::Panic);
  EXPECT_THROW(g.add_graph(bad_ops, std::vector<std::uint32_t>{0, 0}, std::vector<std::uint32_t>{}, out), tavrine::Panic);
  EXPECT_THROW(g.add_graph(bad_ops, std::vector<std::uint32_t>{0, 2, 1}, std::vector<std::uint32_t>{0, 0}, out), tavrine::Panic);
}

// Everything a later step can observe of two e-graphs built the same way.
void expect_same_state(const EGraph& a, const EGraph& b) {
  ASSERT_EQ(a.number_of_ids(), b.number_of_ids());
  ASSERT_EQ(a.total_size(), b.total_size());
  ASSERT_EQ(a.number_of_classes(), b.number_of_classes());
  ASSERT_EQ(a.pending_count(), b.pending_count());
  ASSERT_EQ(a.is_clean(), b.is_clean());
  ASSERT_EQ(a.class_ids(), b.class_ids());
  for (ClassId id : a.class_ids()) {
    ASSERT_EQ(test::class_nodes(a, id), test::class_nodes(b, id));
    ASSERT_EQ(test::class_parents(a, id), test::class_parents(b, id));
  }
}

TEST(EGraph, AddGraphOfDistinctNodesEqualsAddingNodeByNode) {
  // Graphs whose nodes are pairwise distinct (as every graph of a store is) take the bulk
  // path; one equal pair anywhere, even the last node, must give the node-by-node result.
  std::mt19937_64 rng(17);
  for (int round = 0; round < 40; ++round) {
    const std::size_t n = 2 + rng() % 1500;
    std::vector<std::uint32_t> op, off{0}, pos;
    std::set<std::vector<std::uint32_t>> seen;  // op, then children
    for (std::size_t i = 0; i < n; ++i) {
      std::vector<std::uint32_t> node;
      do {
        const std::size_t arity = i == 0 ? 0 : rng() % 5;  // some wide nodes
        // Leaves and the rest over a few ops, so that parents and children are shared.
        node = {static_cast<std::uint32_t>(arity == 0 ? rng() % 50 : 50 + rng() % 3)};
        for (std::size_t k = 0; k < arity; ++k) {
          const std::size_t back = 1 + rng() % std::min<std::size_t>(i, 8);
          node.push_back(static_cast<std::uint32_t>(rng() % 4 ? i - back : rng() % i));
        }
      } while (!seen.insert(node).second);
      op.push_back(node[0]);
      pos.insert(pos.end(), node.begin() + 1, node.end());
      off.push_back(static_cast<std::uint32_t>(pos.size()));
    }
    if (round % 4 == 3) {
      // The last node repeats an earlier one.
      const std::size_t j = rng() % (n - 1);
      op.back() = op[j];
      pos.resize(off[n - 1]);
      for (std::uint32_t k = off[j]; k < off[j + 1]; ++k) pos.push_back(pos[k]);
      off.back() = static_cast<std::uint32_t>(pos.size());
    }
    EGraph a, b;
    // An operator registered before the graph goes in is indexed by both paths.
    a.index_op(Symbol::from_value(51), 2);
    b.index_op(Symbol::from_value(51), 2);
    if (round % 2) b.reserve(n, pos.size());
    std::vector<ClassId> ida(n), idb(n);
    for (std::size_t i = 0; i < n; ++i) {
      std::vector<ClassId> kids;
      for (std::uint32_t k = off[i]; k < off[i + 1]; ++k) kids.push_back(ida[pos[k]]);
      ida[i] = a.find(a.add(Symbol::from_value(op[i] + 1), kids));
    }
    b.add_graph(op, off, pos, idb);
    ASSERT_EQ(ida, idb);
    expect_same_state(a, b);
    a.rebuild();
    b.rebuild();
    ASSERT_EQ(*a.indexed_classes(Symbol::from_value(51), 2), *b.indexed_classes(Symbol::from_value(51), 2));
    // Later work sees the same e-graph: the same unions and repairs give the same classes,
    // parents and repair order.
    std::vector<std::pair<ClassId, ClassId>> merges;
    const ClassId ids = static_cast<ClassId>(a.number_of_ids());
    for (int u = 0; u < 30; ++u) merges.emplace_back(rng() % ids, rng() % ids);
    for (auto [x, y] : merges) ASSERT_EQ(a.union_classes(x, y), b.union_classes(x, y));
    expect_same_state(a, b);
    ASSERT_EQ(a.rebuild(), b.rebuild());
    expect_same_state(a, b);
  }
  // A bad child position is caught on the bulk path as well.
  EGraph g;
  std::vector<ClassId> out(3);
  EXPECT_THROW(g.add_graph(std::vector<std::uint32_t>{0, 1, 2}, std::vector<std::uint32_t>{0, 0, 1, 2},
                           std::vector<std::uint32_t>{0, 2}, out),
               tavrine::Panic);
}

TEST(EGraph, TakeRootsGivesEveryIdItsRootAndEmptiesTheGraph) {
  std::mt19937_64 rng(11);
  EGraph g;
  std::vector<ClassId> ids;
  for (int i = 0; i < 300; ++i) {
    std::vector<ClassId> kids;
    if (!ids.empty() && i % 3) kids.push_back(ids[rng() % ids.size()]);
    ids.push_back(g.add(SymbolLang(S(i % 3 ? "f" : "leaf" + std::to_string(i)), kids)));
  }
  for (int u = 0; u < 60; ++u) g.union_classes(ids[rng() % ids.size()], ids[rng() % ids.size()]);
  g.rebuild();
  std::vector<ClassId> want;
  for (ClassId i = 0; i < g.number_of_ids(); ++i) want.push_back(g.find(i));
  const auto roots = std::move(g).take_roots();
  EXPECT_EQ(std::vector<ClassId>(roots.begin(), roots.end()), want);
  EXPECT_EQ(g.number_of_ids(), 0u);
  EXPECT_EQ(g.total_size(), 0u);
}

}  // namespace
}  // namespace egraph
