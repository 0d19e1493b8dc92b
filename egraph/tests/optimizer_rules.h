#pragma once
// The rules the optimizer runs, read from its one rule table: commutativity of eight
// binary operations and the elimination of four identity operations.
#include <string>
#include <string_view>
#include <vector>

#include "egraph/egraph.h"
#include "optimizer/rules.h"
#include "test_symbols.h"

namespace egraph::testing_rules {

// The operators of the identity rules, in table order.
inline const std::vector<std::string_view> kIdentityKeys = [] {
  std::vector<std::string_view> keys;
  for (const tavrine::opt::RuleText& r : tavrine::opt::kRules) {
    if (tavrine::opt::rule_shortcut(r) == tavrine::opt::Shortcut::Collapse) keys.push_back(tavrine::opt::rule_operator(r));
  }
  return keys;
}();

inline std::vector<Rewrite> optimizer_rules() {
  std::vector<Rewrite> rules;
  for (const tavrine::opt::RuleText& r : tavrine::opt::kRules) {
    rules.push_back(test::make_rule(r.name, test::P(r.left), test::P(r.right)));
  }
  return rules;
}

}  // namespace egraph::testing_rules
