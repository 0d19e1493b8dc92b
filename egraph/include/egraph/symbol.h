#pragma once
// Operator texts as 32-bit symbols.
//
// A `Symbol` is a nonzero 32-bit handle that stands for a text. The e-graph itself needs
// only a symbol's identity and a fixed order (the order of the values); which text a
// symbol stands for matters only when patterns and rules are read from their texts. The
// numbering belongs to the caller: it hands out the values (`Symbol::from_value`) and
// keeps the texts, one numbering per run, so that nothing a long-running process reduces
// stays behind in the process.
//
// Readers of pattern texts take a `SymbolSource`, which turns each text into a symbol of
// the numbering in use. A symbol carries no text of its own: printed, it shows its value.
#include <compare>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string_view>

namespace egraph {

class Symbol {
 public:
  // The empty placeholder (value 0); no numbering hands it out.
  constexpr Symbol() noexcept = default;

  // The symbol with a value handed out by the caller's own numbering (never 0).
  static constexpr Symbol from_value(std::uint32_t value) noexcept { return Symbol(value); }

  constexpr std::uint32_t value() const noexcept { return value_; }

  friend constexpr bool operator==(Symbol a, Symbol b) noexcept { return a.value_ == b.value_; }
  friend constexpr auto operator<=>(Symbol a, Symbol b) noexcept { return a.value_ <=> b.value_; }

 private:
  explicit constexpr Symbol(std::uint32_t value) noexcept : value_(value) {}
  std::uint32_t value_ = 0;
};

// Writes the symbol's value ("<none>" for the placeholder).
std::ostream& operator<<(std::ostream& os, Symbol s);

// Turns texts into symbols while patterns and rules are read.
class SymbolSource {
 public:
  virtual ~SymbolSource() = default;
  // The same text always gives the same symbol, different texts different ones.
  virtual Symbol symbol(std::string_view text) = 0;
};

}  // namespace egraph

template <>
struct std::hash<egraph::Symbol> {
  std::size_t operator()(egraph::Symbol s) const noexcept { return s.value() * 0x9e3779b97f4a7c15ULL; }
};
