#pragma once
// The rules the optimizer runs, stated here on their own so that the engine's
// tests need nothing outside the engine and the support library: commutativity
// of eight binary operations and the elimination of four identity operations
// (add 0.0 and mul 1.0, the scalar on the right or the left).
#include <string>
#include <string_view>
#include <vector>

#include "egraph/egraph.h"
#include "test_symbols.h"

namespace egraph::testing_rules {

inline const std::vector<std::string_view> kCommutativeWords = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};

// The operators of the identity rules, in the optimizer's order.
inline const std::vector<std::string_view> kIdentityKeys = {
    "op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl"};

inline std::vector<Rewrite> optimizer_rules() {
  std::vector<Rewrite> rules;
  for (std::string_view w : kCommutativeWords) {
    const std::string op = "(op|" + std::string(w);
    rules.push_back(test::make_rule("commute-" + std::string(w), test::P(op + " ?a ?b)"), test::P(op + " ?b ?a)")));
  }
  int k = 0;
  for (std::string_view key : kIdentityKeys) {
    rules.push_back(test::make_rule("identity-" + std::to_string(k++), test::P("(" + std::string(key) + " ?x)"), test::P("?x")));
  }
  return rules;
}

}  // namespace egraph::testing_rules
