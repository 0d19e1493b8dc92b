#pragma once
// Interned operator texts.
//
// A `Symbol` is a 32-bit handle for a text, unique per text within the process. The
// value is (shard << 28) | (position in shard + 1), so it is never 0; the shard is the
// low 4 bits of a fixed, unseeded 64-bit hash of the text, which makes every text land
// in the same shard in every run. The order of two symbols is the order of their values:
// a fixed total order within one process that says nothing about the texts.
//
// The interner behind it is process-wide, created on first use (exactly once, even when
// threads race), and never destroyed: texts are copied once into storage that is never
// freed, so `str()` views stay valid for the life of the process. Each of the 16 shards
// has its own lock, held only for one intern or one resolve.
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

  // The interned text, valid for the process lifetime.
  std::string_view str() const;
  constexpr std::uint32_t value() const noexcept { return value_; }

  friend constexpr bool operator==(Symbol a, Symbol b) noexcept { return a.value_ == b.value_; }
  friend constexpr auto operator<=>(Symbol a, Symbol b) noexcept { return a.value_ <=> b.value_; }

 private:
  explicit constexpr Symbol(std::uint32_t value) noexcept : value_(value) {}
  std::uint32_t value_ = 0;
};

// Writes the symbol's text.
std::ostream& operator<<(std::ostream& os, Symbol s);

// The interner's fixed text hash (its low 4 bits choose the shard).
std::uint64_t text_hash(std::string_view text) noexcept;

// Number of texts interned so far (all shards); for diagnostics and tests.
std::size_t interned_symbol_count();

}  // namespace egraph

template <>
struct std::hash<egraph::Symbol> {
  std::size_t operator()(egraph::Symbol s) const noexcept { return s.value() * 0x9e3779b97f4a7c15ULL; }
};
