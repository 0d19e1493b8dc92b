#pragma once
// Flat pattern terms and the s-expression reader that builds them from rule texts such as
// "(op|add ?a ?b)".
#include <cstddef>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "egraph/language.h"
#include "support/expected.h"

namespace egraph {

// One element of a pattern term: an e-node whose children are positions of earlier
// elements, or a variable (held as the Symbol of its full text, "?" included).
struct PatternElem {
  enum class Kind : std::uint8_t { ENode, Var };
  Kind kind = Kind::ENode;
  Symbol sym;          // the ENode's op, or the variable
  IdList children;     // ENode only: positions of earlier elements, in argument order

  static PatternElem var(Symbol v) { return PatternElem{Kind::Var, v, {}}; }
  static PatternElem enode(Symbol op, std::span<const ClassId> children) {
    return PatternElem{Kind::ENode, op, IdList(children)};
  }
  bool is_var() const noexcept { return kind == Kind::Var; }
  friend bool operator==(const PatternElem&, const PatternElem&) = default;
};

// A flat term: every child reference points to an earlier element; the last is the root.
// Appending never deduplicates.
struct PatternTerm {
  std::vector<PatternElem> elems;

  std::size_t size() const noexcept { return elems.size(); }
  const PatternElem& operator[](std::size_t i) const { return elems[i]; }
  const PatternElem& root() const { return elems.back(); }
  std::size_t add(PatternElem e) {
    elems.push_back(std::move(e));
    return elems.size() - 1;
  }
  friend bool operator==(const PatternTerm&, const PatternTerm&) = default;
};

// Written in s-expression form, e.g. "(op|add ?a ?b)".
std::ostream& operator<<(std::ostream& os, const PatternTerm& t);
std::string to_sexp(const PatternTerm& t);

// Failure of the s-expression pass; line and column count from 1.
struct ParseError {
  std::string msg;
  std::size_t line = 1;
  std::size_t col = 1;
  friend bool operator==(const ParseError&, const ParseError&) = default;
};

// Why a pattern text was rejected.
struct PatternError {
  enum class Kind : std::uint8_t {
    EmptySexp,  // blank text or "()"
    BadSexp,    // the s-expression pass failed; see `sexp`
    HeadList,   // a list whose head is itself a list; `text` holds the list's debug form
    BadOp,      // UnexpectedVar: a variable used as an operator with children; `text` is the variable
    BadVar,     // MissingQuestionMark: a variable text without "?"; `text` is the text
  };
  Kind kind = Kind::EmptySexp;
  ParseError sexp;
  std::string text;

  // Debug text, e.g. BadSexp(ParseError { msg: "Unexpected )", line: 1, col: 1 }).
  std::string debug() const;
  friend bool operator==(const PatternError&, const PatternError&) = default;
};

// Reads a pattern text into a pattern term; `symbols` numbers its operators and variables.
tavrine::Expected<PatternTerm, PatternError> parse_pattern_term(std::string_view text, SymbolSource& symbols);

// A variable from its text: must start with "?" (BadVar / MissingQuestionMark otherwise).
tavrine::Expected<Symbol, PatternError> parse_var(std::string_view text, SymbolSource& symbols);

}  // namespace egraph
