#pragma once
// Patterns: a parsed pattern term compiled into a program for the backtracking matching
// machine, used to search a clean e-graph and to instantiate right-hand sides.
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "egraph/deadline.h"
#include "egraph/graph.h"
#include "egraph/pattern_term.h"
#include "support/expected.h"

namespace egraph {

// A machine register; register 0 holds the class being searched.
using Reg = std::uint32_t;

// Element of a Lookup term: an e-node over earlier term positions, or a register.
struct LookupElem {
  bool is_reg = false;
  Reg reg = 0;     // is_reg
  Symbol op;       // !is_reg
  IdList children; // !is_reg: positions of earlier elements
  friend bool operator==(const LookupElem&, const LookupElem&) = default;
};

struct Instruction {
  enum class Kind : std::uint8_t { Bind, Compare, Lookup, Scan };
  Kind kind = Kind::Bind;
  Symbol op;               // Bind: the node's op (its children are all 0; only op and arity matter)
  std::uint32_t arity = 0; // Bind
  Reg i = 0;               // Bind, Compare, Lookup
  Reg j = 0;               // Compare
  Reg out = 0;             // Bind, Scan
  std::vector<LookupElem> term;  // Lookup

  static Instruction bind(Symbol op, std::uint32_t arity, Reg i, Reg out) {
    Instruction in;
    in.kind = Kind::Bind, in.op = op, in.arity = arity, in.i = i, in.out = out;
    return in;
  }
  static Instruction compare(Reg i, Reg j) {
    Instruction in;
    in.kind = Kind::Compare, in.i = i, in.j = j;
    return in;
  }
  static Instruction lookup(std::vector<LookupElem> term, Reg i) {
    Instruction in;
    in.kind = Kind::Lookup, in.term = std::move(term), in.i = i;
    return in;
  }
  static Instruction scan(Reg out) {
    Instruction in;
    in.kind = Kind::Scan, in.out = out;
    return in;
  }
  friend bool operator==(const Instruction&, const Instruction&) = default;
};

struct Program {
  std::vector<Instruction> instructions;
  // Where each variable's class ends up, in the order the variables first got a register.
  std::vector<std::pair<Symbol, Reg>> subst;
};

// Compiles one pattern term (never emits Scan).
Program compile_program(const PatternTerm& term);

std::ostream& operator<<(std::ostream& os, const Instruction& in);
std::ostream& operator<<(std::ostream& os, const Program& p);

// One substitution: (variable, class) pairs in program order; three are held inline.
class Subst {
 public:
  void insert(Symbol var, ClassId id);
  // Panics when the variable is not bound.
  ClassId get(Symbol var) const;
  std::optional<ClassId> try_get(Symbol var) const;
  std::size_t size() const noexcept { return vars_.size(); }
  std::span<const Symbol> vars() const noexcept { return vars_.span(); }
  std::span<const ClassId> ids() const noexcept { return ids_.span(); }
  friend bool operator==(const Subst&, const Subst&) = default;

 private:
  SmallVec<Symbol, 3> vars_;
  SmallVec<ClassId, 3> ids_;
};
std::ostream& operator<<(std::ostream& os, const Subst& s);

// Matches of a pattern in one class, in the order found.
struct SearchMatches {
  ClassId eclass = 0;
  std::vector<Subst> substs;
};

// The result of a search, stored flat: groups of substitutions per matched class, each
// substitution a row of class ids in the order of `vars`.
struct MatchSet {
  std::vector<Symbol> vars;
  std::vector<ClassId> classes;          // per group: the class where the root matched
  std::vector<std::uint32_t> group_end;  // per group: one past its last substitution
  std::vector<ClassId> values;           // substitution-major, vars.size() per row
  // Per row when the search was given the applier (else empty): 1 when the applier's
  // instantiation for the row is already a node of the matched class, so that applying it
  // would find that node and merge nothing, as long as the row's classes stay roots.
  std::vector<std::uint8_t> present;
  const void* present_for = nullptr;     // the applier `present` speaks of
  bool timed_out = false;                // the search stopped at its deadline

  std::size_t total() const noexcept { return group_end.empty() ? 0 : group_end.back(); }
  std::size_t num_groups() const noexcept { return classes.size(); }
  std::size_t group_begin(std::size_t g) const noexcept { return g == 0 ? 0 : group_end[g - 1]; }
  std::span<const ClassId> row(std::size_t s) const noexcept {
    return {values.data() + s * vars.size(), vars.size()};
  }
  Subst subst(std::size_t s) const;
  std::vector<SearchMatches> to_search_matches() const;
};

class Pattern {
 public:
  // `symbols` numbers the pattern's operators and variables.
  static tavrine::Expected<Pattern, PatternError> parse(std::string_view text, SymbolSource& symbols);
  // Panics with the error's debug text when the text does not parse.
  static Pattern parse_or_panic(std::string_view text, SymbolSource& symbols);
  static Pattern from_term(PatternTerm term);

  const PatternTerm& term() const noexcept { return impl_->term; }
  const Program& program() const noexcept { return impl_->program; }
  // Distinct variables in order of first position.
  const std::vector<Symbol>& variables() const noexcept { return impl_->vars; }
  // The text a symbol of this pattern was read from (for a pattern built from a term, the
  // symbol's value).
  std::string symbol_text(Symbol s) const;

  // Matches in every candidate class (table order), at most `limit` substitutions in total.
  // With `applier` (the right-hand side the matches are for), each row also says whether
  // its instantiation is already in the matched class (MatchSet::present), which the
  // search can tell cheaply while it has the class's nodes at hand; the matches themselves
  // are the same.
  MatchSet search_with_limit(const EGraph& g, std::size_t limit, const Deadline* deadline = nullptr,
                             const Pattern* applier = nullptr) const;
  MatchSet search(const EGraph& g) const { return search_with_limit(g, ~std::size_t{0}); }
  // Substitutions found in one class, at most `limit`.
  std::vector<Subst> run_with_limit(const EGraph& g, ClassId eclass, std::size_t limit) const;
  // Instantiates the pattern for every substitution and merges it with the matched class
  // (instantiation first); returns the instantiation ids whose union merged two classes.
  // A row the search marked present for this pattern, whose classes are all still roots,
  // is left out: its instantiation would be found in the matched class and the union would
  // merge nothing.
  std::vector<ClassId> apply_matches(EGraph& g, const MatchSet& matches, Symbol rule_name,
                                     const Deadline* deadline = nullptr) const;

  std::string to_string() const { return to_sexp(impl_->term); }

 private:
  struct Impl {
    PatternTerm term;
    Program program;
    std::vector<Symbol> vars;
    std::vector<std::pair<Symbol, std::string>> texts;  // when read from a text
  };
  explicit Pattern(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}
  static Pattern build(PatternTerm term, std::vector<std::pair<Symbol, std::string>> texts);
  std::shared_ptr<const Impl> impl_;
};
std::ostream& operator<<(std::ostream& os, const Pattern& p);

}  // namespace egraph
