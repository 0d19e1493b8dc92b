// The search's direct path (a program that is one Bind over distinct variables, run
// without the matching machine) against the machine on random clean e-graphs: the same
// matches in the same order for any limit, and present marks equal to instantiating the
// applier and looking it up in the matched class.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "egraph/egraph.h"
#include "search.h"
#include "test_symbols.h"

namespace egraph {
namespace {

using test::S;

const char* const kOps[] = {"f", "g", "h"};

Symbol random_op(std::mt19937& rng) { return S(kOps[rng() % 3]); }

// Nodes of f, g and h with 0 to 5 children over a few leaves, some classes merged with a
// node of the same children reversed (a commuted twin), with one of their children (an
// identity), or at random; some operators indexed; rebuilt at the end, sometimes also in
// between.
EGraph random_graph(std::mt19937& rng) {
  EGraph g;
  std::vector<ClassId> ids;
  for (int k = 0; k < 4; ++k) ids.push_back(g.add(SymbolLang(S("leaf" + std::to_string(k)))));
  if (rng() % 2) g.index_op(random_op(rng), rng() % 6);
  const int n = 5 + static_cast<int>(rng() % 50);
  for (int i = 0; i < n; ++i) {
    IdList kids;
    const std::uint32_t arity = rng() % 6;
    for (std::uint32_t k = 0; k < arity; ++k) kids.push_back(ids[rng() % ids.size()]);
    const Symbol op = random_op(rng);
    const ClassId id = g.add(op, kids.span());
    ids.push_back(id);
    switch (rng() % 6) {
      case 0: {
        std::reverse(kids.begin(), kids.end());
        g.union_classes(id, g.add(op, kids.span()));
        break;
      }
      case 1:
        if (arity > 0) g.union_classes(id, kids[rng() % arity]);
        break;
      case 2:
        g.union_classes(ids[rng() % ids.size()], ids[rng() % ids.size()]);
        break;
      default:
        break;
    }
    if (rng() % 25 == 0) g.rebuild();
  }
  if (rng() % 2) g.index_op(random_op(rng), rng() % 6);
  g.rebuild();
  return g;
}

// (op ?v1 .. ?vk): k distinct variables, named in a random order.
Pattern direct_pattern(std::mt19937& rng, std::vector<Symbol>& vars) {
  std::vector<std::string> names = {"?a", "?b", "?c", "?d", "?e", "?f"};
  std::shuffle(names.begin(), names.end(), rng);
  const std::uint32_t arity = rng() % 6;
  PatternTerm t;
  IdList kids;
  vars.clear();
  for (std::uint32_t k = 0; k < arity; ++k) {
    vars.push_back(S(names[k]));
    kids.push_back(static_cast<ClassId>(t.add(PatternElem::var(vars.back()))));
  }
  t.add(PatternElem::enode(random_op(rng), kids.span()));
  return Pattern::from_term(std::move(t));
}

// A right-hand side over the searcher's variables. `probed`: one the direct path marks
// rows for (a lone variable, or one node of at most four variable children).
Pattern random_applier(std::mt19937& rng, const std::vector<Symbol>& vars, bool& probed) {
  PatternTerm t;
  const unsigned kind = vars.empty() ? 1 + rng() % 2 : rng() % 4;
  probed = kind < 2;
  if (kind == 0) {
    t.add(PatternElem::var(vars[rng() % vars.size()]));
    return Pattern::from_term(std::move(t));
  }
  // kind 1: at most four children; 2: five; 3: a node nested in the root.
  std::uint32_t arity = kind == 1 ? rng() % 5 : kind == 2 ? 5 : 1 + rng() % 2;
  if (kind == 1 && vars.empty()) arity = 0;
  IdList kids;
  for (std::uint32_t k = 0; k < arity; ++k) {
    const Symbol v = vars.empty() ? S("?a") : vars[rng() % vars.size()];
    kids.push_back(static_cast<ClassId>(t.add(PatternElem::var(v))));
  }
  if (kind == 3) {
    const ClassId inner = static_cast<ClassId>(t.add(PatternElem::enode(random_op(rng), kids.span())));
    kids = {inner};
  }
  t.add(PatternElem::enode(random_op(rng), kids.span()));
  return Pattern::from_term(std::move(t));
}

// Whether the applier's instantiation for `s` is a node of class `cls`.
bool instance_in(const EGraph& g, const PatternTerm& rhs, const Subst& s, ClassId cls) {
  const PatternElem& root = rhs.root();
  if (root.is_var()) return g.find(s.get(root.sym)) == cls;
  IdList kids;
  for (ClassId c : root.children) kids.push_back(s.get(rhs[c].sym));
  const auto found = g.lookup(root.sym, kids.span());
  return found && *found == cls;
}

// The term with its symbols' texts, for failure messages.
std::string text(const PatternTerm& t, std::size_t i) {
  const PatternElem& e = t[i];
  if (e.is_var()) return test::text_of(e.sym);
  std::string out = "(" + test::text_of(e.sym);
  for (ClassId c : e.children) out += " " + text(t, c);
  return out + ")";
}

std::size_t random_limit(std::mt19937& rng) {
  switch (rng() % 4) {
    case 0:
      return 0;
    case 1:
      return 1;
    case 2:
      return 2 + rng() % 10;
    default:
      return ~std::size_t{0};
  }
}

void expect_same_matches(const MatchSet& got, const MatchSet& want) {
  EXPECT_EQ(got.vars, want.vars);
  EXPECT_EQ(got.classes, want.classes);
  EXPECT_EQ(got.group_end, want.group_end);
  EXPECT_EQ(got.values, want.values);
  EXPECT_FALSE(got.timed_out);
  EXPECT_FALSE(want.timed_out);
}

TEST(DirectBind, FindsWhatTheMachineFindsAndMarksWhatIsPresent) {
  std::mt19937 rng(20240611);
  std::size_t rows = 0, present = 0, multi = 0;
  std::vector<Symbol> vars;
  for (int graph = 0; graph < 1000; ++graph) {
    const EGraph g = random_graph(rng);
    for (int pat = 0; pat < 6; ++pat) {
      const Pattern lhs = direct_pattern(rng, vars);
      bool probed = false;
      const Pattern rhs = random_applier(rng, vars, probed);
      for (int run = 0; run < 3; ++run) {
        const std::size_t limit = random_limit(rng);
        SCOPED_TRACE(testing::Message() << "graph " << graph << " " << text(lhs.term(), lhs.term().size() - 1) << " -> "
                                        << text(rhs.term(), rhs.term().size() - 1) << " limit " << limit);
        const MatchSet want =
            search::run(g, lhs, limit, nullptr, nullptr, nullptr, search::Matcher::kMachine);
        expect_same_matches(lhs.search_with_limit(g, limit), want);
        const MatchSet got = lhs.search_with_limit(g, limit, nullptr, &rhs);
        expect_same_matches(got, want);
        EXPECT_TRUE(want.present.empty());
        if (!probed || limit == 0) {
          EXPECT_TRUE(got.present.empty());
          continue;
        }
        ASSERT_NE(got.present_for, nullptr);  // the direct path ran
        ASSERT_EQ(got.present.size(), got.total());
        for (std::size_t grp = 0; grp < got.num_groups(); ++grp) {
          const ClassId cls = got.classes[grp];
          multi += g.class_refs(cls).size() > 1 ? 1 : 0;
          for (std::size_t s = got.group_begin(grp); s < got.group_end[grp]; ++s) {
            ASSERT_EQ(got.present[s] != 0, instance_in(g, rhs.term(), got.subst(s), cls)) << "row " << s;
            ++rows;
            present += got.present[s];
          }
        }
      }
    }
  }
  // Both marks, and classes of several nodes, were seen.
  EXPECT_GT(present, 0u);
  EXPECT_LT(present, rows);
  EXPECT_GT(multi, 0u);
}

TEST(DirectBind, AppliersItCannotProbeLeaveRowsUnmarked) {
  EGraph g;
  const ClassId a = g.add(SymbolLang(S("leaf0")));
  const ClassId b = g.add(SymbolLang(S("leaf1")));
  g.union_classes(g.add(SymbolLang(S("f"), {a, b})), g.add(SymbolLang(S("f"), {b, a})));
  g.rebuild();
  const Pattern lhs = test::P("(f ?a ?b)");
  for (const char* text : {"(g (f ?a ?b))", "(f ?a ?b ?a ?b ?a)", "(f ?a ?c)"}) {
    const Pattern rhs = test::P(text);
    const MatchSet got = lhs.search_with_limit(g, ~std::size_t{0}, nullptr, &rhs);
    EXPECT_EQ(got.total(), 2u) << text;
    EXPECT_EQ(got.present_for, nullptr) << text;
    EXPECT_TRUE(got.present.empty()) << text;
  }
  const Pattern swap = test::P("(f ?b ?a)");
  const MatchSet marked = lhs.search_with_limit(g, ~std::size_t{0}, nullptr, &swap);
  EXPECT_EQ(marked.present, (std::vector<std::uint8_t>{1, 1}));
}

}  // namespace
}  // namespace egraph
