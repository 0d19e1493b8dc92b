// End-to-end: the commute and identity rules of the optimizer over a tiny graph.
#include <gtest/gtest.h>

#include "egraph/egraph.h"
#include "test_symbols.h"

namespace egraph {
namespace {

TEST(Smoke, CommuteMergesSwappedAdds) {
  EGraph g;
  const ClassId a = g.add(SymbolLang(test::S("src|a")));
  const ClassId b = g.add(SymbolLang(test::S("src|b")));
  const ClassId ab = g.add(SymbolLang(test::S("op|add"), {a, b}));
  const ClassId ba = g.add(SymbolLang(test::S("op|add"), {b, a}));
  EXPECT_NE(g.find(ab), g.find(ba));
  std::vector<Rewrite> rules;
  rules.push_back(test::make_rule("commute-add", test::P("(op|add ?a ?b)"),
                                    test::P("(op|add ?b ?a)")));
  Runner runner;
  runner.with_egraph(std::move(g)).with_iter_limit(12).with_node_limit(4 * 4 + 1024).run(rules);
  ASSERT_TRUE(runner.stop_reason().has_value());
  EXPECT_EQ(runner.stop_reason()->kind, StopKind::Saturated);
  EGraph out = runner.take_egraph();
  EXPECT_EQ(out.find(ab), out.find(ba));
  EXPECT_NE(out.find(a), out.find(b));
}

}  // namespace
}  // namespace egraph
