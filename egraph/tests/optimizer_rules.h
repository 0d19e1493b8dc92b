#pragma once
// The twelve rules the optimizer runs: commutativity of eight binary operations and the
// elimination of four identity operations.
#include <string>
#include <vector>

#include "egraph/egraph.h"
#include "test_symbols.h"

namespace egraph::testing_rules {

inline const char* const kCommuteWords[] = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};
inline const char* const kIdentityKeys[] = {
    "op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl"};

inline std::vector<Rewrite> optimizer_rules() {
  std::vector<Rewrite> rules;
  for (const char* w : kCommuteWords) {
    rules.push_back(test::make_rule(std::string("commute-") + w,
                                    test::P(std::string("(op|") + w + " ?a ?b)"),
                                    test::P(std::string("(op|") + w + " ?b ?a)")));
  }
  int k = 0;
  for (const char* key : kIdentityKeys) {
    rules.push_back(test::make_rule("identity-" + std::to_string(k++),
                                    test::P(std::string("(") + key + " ?x)"),
                                    test::P("?x")));
  }
  return rules;
}

}  // namespace egraph::testing_rules
