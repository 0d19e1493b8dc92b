#pragma once
// The rewrite rules of a reduction, written once as text. The e-graph engine
// parses them into its patterns; the incremental reducer reads from them the
// shortcut each operator symbol allows.
//
// A rule is a name, a left side and a right side. A side is a variable
// (`?x`) or `(operator variable...)`, the operator a symbol text (see
// engine.h). The conditions under which a rule applies are all in its left
// side: the operator text pins the node's name and params exactly (so
// "op|add" is an add without params), and the variables its number of
// inputs. Two shapes occur:
//   commute   (f ?a ?b) => (f ?b ?a)   f's two inputs may be swapped
//   collapse  (f ?x)    => ?x          f with its one input is that input
// The order of the table is the order the e-graph engine runs the rules in.
#include <cstddef>
#include <iterator>
#include <string_view>

namespace tavrine::opt {

struct RuleText {
  std::string_view name;
  std::string_view left;
  std::string_view right;
};

// clang-format off
inline constexpr RuleText kRules[] = {
    {"commute-add",     "(op|add ?a ?b)",     "(op|add ?b ?a)"},
    {"commute-mul",     "(op|mul ?a ?b)",     "(op|mul ?b ?a)"},
    {"commute-and",     "(op|and ?a ?b)",     "(op|and ?b ?a)"},
    {"commute-or",      "(op|or ?a ?b)",      "(op|or ?b ?a)"},
    {"commute-eq",      "(op|eq ?a ?b)",      "(op|eq ?b ?a)"},
    {"commute-ne",      "(op|ne ?a ?b)",      "(op|ne ?b ?a)"},
    {"commute-maximum", "(op|maximum ?a ?b)", "(op|maximum ?b ?a)"},
    {"commute-minimum", "(op|minimum ?a ?b)", "(op|minimum ?b ?a)"},
    // add 0.0 and mul 1.0, with the scalar on the right (sr) or the left (sl)
    {"identity-0", "(op|add|scalar=f0000000000000000;side=sr ?x)", "?x"},
    {"identity-1", "(op|add|scalar=f0000000000000000;side=sl ?x)", "?x"},
    {"identity-2", "(op|mul|scalar=f3ff0000000000000;side=sr ?x)", "?x"},
    {"identity-3", "(op|mul|scalar=f3ff0000000000000;side=sl ?x)", "?x"},
};
// clang-format on

// What the table allows for one operator symbol: nothing, swapping its two
// inputs, or replacing it, with its one input, by that input.
enum class Shortcut : unsigned char { None, Commute, Collapse };

// The operator text of a left side, and its number of variables.
constexpr std::string_view rule_operator(const RuleText& r) noexcept {
  return r.left.substr(1, r.left.find(' ') - 1);
}
constexpr std::size_t rule_arity(const RuleText& r) noexcept {
  std::size_t k = 0;
  for (char c : r.left) k += c == '?';
  return k;
}
constexpr Shortcut rule_shortcut(const RuleText& r) noexcept {
  return r.right.starts_with('?') ? Shortcut::Collapse : Shortcut::Commute;
}

// The shortcut of an operator symbol: that of the rule whose left side has
// it as operator. It applies only to a node with as many inputs as that left
// side has variables: shortcut_arity.
constexpr Shortcut shortcut_of(std::string_view symbol) noexcept {
  for (const RuleText& r : kRules) {
    if (rule_operator(r) == symbol) return rule_shortcut(r);
  }
  return Shortcut::None;
}
// Whether some rule's operator is an Op named `name` (with or without
// params): a quick test before building a symbol text. Rule names hold no
// character escaping changes, so the unescaped name compares as it is.
constexpr bool names_rule_op(std::string_view name) noexcept {
  for (const RuleText& r : kRules) {
    const std::string_view op = rule_operator(r);
    if (op.starts_with("op|") && op.substr(3).starts_with(name) &&
        (op.size() == 3 + name.size() || op[3 + name.size()] == '|')) {
      return true;
    }
  }
  return false;
}
constexpr std::size_t shortcut_arity(Shortcut s) noexcept { return s == Shortcut::Commute ? 2 : 1; }

// The table's shapes are the two above, and each operator has one rule.
consteval bool rules_are_well_formed() {
  for (std::size_t i = 0; i < std::size(kRules); ++i) {
    const RuleText& r = kRules[i];
    const std::string_view op = rule_operator(r);
    if (rule_shortcut(r) == Shortcut::Collapse) {
      if (rule_arity(r) != 1 || r.right != "?x" || r.left.substr(op.size() + 1) != " ?x)") return false;
    } else {
      if (rule_arity(r) != 2 || r.left.substr(op.size() + 1) != " ?a ?b)") return false;
      if (r.right.substr(1, op.size()) != op || r.right.substr(op.size() + 1) != " ?b ?a)") return false;
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (rule_operator(kRules[j]) == op) return false;
    }
  }
  return true;
}
static_assert(rules_are_well_formed(), "every rule is a commute or a collapse, one per operator");

}  // namespace tavrine::opt
