#pragma once
// Operator texts as 32-bit symbols.
//
// A `Symbol` is a nonzero 32-bit handle that stands for a text. The e-graph itself needs
// only a symbol's identity and a fixed order (the order of the values); which text a
// symbol stands for matters only when patterns and rules are read from their texts. Two
// numberings exist:
//
// - The process-wide interner (`Symbol::intern`): the value is (shard << 28) | (position
//   in shard + 1); the shard is the low 4 bits of a fixed, unseeded 64-bit hash of the
//   text, so every text lands in the same shard in every run. The interner is created on
//   first use (exactly once, even when threads race) and never destroyed: texts are copied
//   once into storage that is never freed, so `str()` views stay valid for the life of the
//   process. Each of the 16 shards has its own lock, held only for one intern or resolve.
// - A numbering owned by one run (`Symbol::from_value`): the caller hands out values and
//   keeps the texts. A long-running process that reduces graphs with ever new texts uses
//   such a numbering, so that nothing it reduces stays behind in the process-wide table.
//
// Readers of pattern texts take a `SymbolSource`, which turns each text into a symbol of
// the numbering in use (`global_symbols()` for the interner). `str()` and printing resolve
// through the interner and so apply to interned symbols only.
#include <compare>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string_view>

namespace egraph {

class Symbol {
 public:
  // The empty placeholder (value 0); `intern` never returns it.
  constexpr Symbol() noexcept = default;

  static Symbol intern(std::string_view text);
  // The symbol with a value handed out by the caller's own numbering (never 0).
  static constexpr Symbol from_value(std::uint32_t value) noexcept { return Symbol(value); }

  // The interned text, valid for the process lifetime (interned symbols only).
  std::string_view str() const;
  constexpr std::uint32_t value() const noexcept { return value_; }

  friend constexpr bool operator==(Symbol a, Symbol b) noexcept { return a.value_ == b.value_; }
  friend constexpr auto operator<=>(Symbol a, Symbol b) noexcept { return a.value_ <=> b.value_; }

 private:
  explicit constexpr Symbol(std::uint32_t value) noexcept : value_(value) {}
  std::uint32_t value_ = 0;
};

// Writes the symbol's interned text.
std::ostream& operator<<(std::ostream& os, Symbol s);

// The interner's fixed text hash (its low 4 bits choose the shard).
std::uint64_t text_hash(std::string_view text) noexcept;

// Number of texts interned so far (all shards); for diagnostics and tests.
std::size_t interned_symbol_count();

// Turns texts into symbols while patterns and rules are read.
class SymbolSource {
 public:
  virtual ~SymbolSource() = default;
  // The same text always gives the same symbol, different texts different ones.
  virtual Symbol symbol(std::string_view text) = 0;
};

// The process-wide interner as a source.
SymbolSource& global_symbols();

}  // namespace egraph

template <>
struct std::hash<egraph::Symbol> {
  std::size_t operator()(egraph::Symbol s) const noexcept { return s.value() * 0x9e3779b97f4a7c15ULL; }
};
