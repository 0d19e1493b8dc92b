#pragma once
// E-class ids and the e-node `SymbolLang`: an operator symbol with ordered child class ids.
#include <bit>
#include <compare>
#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <span>

#include "egraph/small_vec.h"
#include "egraph/symbol.h"

namespace egraph {

// Names an e-class. Handed out densely from 0 by an e-graph; stays valid for the e-graph's
// life and resolves (find) to its class's root after merges.
using ClassId = std::uint32_t;

// Child list of an e-node; four children are held inline.
using IdList = SmallVec<ClassId, 4>;

// The multiply-rotate hash every e-graph table uses: fold each 64-bit word w into h as
// h = (rotl(h, 5) ^ w) * 0x517cc1b727220a95, starting from 0.
inline constexpr std::uint64_t kHashSeedMul = 0x517cc1b727220a95ULL;
constexpr std::uint64_t hash_word(std::uint64_t h, std::uint64_t w) noexcept {
  return (std::rotl(h, 5) ^ w) * kHashSeedMul;
}
// Hash of an e-node: feeds the op value, the number of children, then each child id.
inline std::uint64_t hash_enode(Symbol op, std::span<const ClassId> children) noexcept {
  std::uint64_t h = hash_word(0, op.value());
  h = hash_word(h, children.size());
  for (ClassId c : children) h = hash_word(h, c);
  return h;
}
// Whether two child lists are equal. Lists are short (mostly one or two ids):
// a loop beats the library call a generic comparison of them compiles to.
inline bool same_children(std::span<const ClassId> a, std::span<const ClassId> b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (a[k] != b[k]) return false;
  }
  return true;
}
// Hash of a class id key: the id times the multiplier.
constexpr std::uint64_t hash_class_id(ClassId id) noexcept { return id * kHashSeedMul; }

// Order of e-nodes: op value first, then children element by element as unsigned numbers;
// a prefix sorts before the longer list.
inline std::strong_ordering compare_enodes(Symbol op_a, std::span<const ClassId> a, Symbol op_b,
                                           std::span<const ClassId> b) noexcept {
  if (auto c = op_a <=> op_b; c != 0) return c;
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return a[i] < b[i] ? std::strong_ordering::less : std::strong_ordering::greater;
  }
  return a.size() <=> b.size();
}

// The e-node. A plain value; equality is same op and equal child lists.
struct SymbolLang {
  Symbol op;
  IdList children;

  SymbolLang() = default;
  explicit SymbolLang(Symbol op) : op(op) {}
  SymbolLang(Symbol op, std::span<const ClassId> children) : op(op), children(children) {}
  SymbolLang(Symbol op, std::initializer_list<ClassId> children) : op(op), children(children) {}

  // Same op and the same number of children (the children themselves are ignored).
  bool matches(const SymbolLang& other) const noexcept {
    return op == other.op && children.size() == other.children.size();
  }
  std::uint64_t hash() const noexcept { return hash_enode(op, children.span()); }
  bool is_leaf() const noexcept { return children.empty(); }

  friend bool operator==(const SymbolLang& a, const SymbolLang& b) noexcept {
    return a.op == b.op && a.children == b.children;
  }
  friend std::strong_ordering operator<=>(const SymbolLang& a, const SymbolLang& b) noexcept {
    return compare_enodes(a.op, a.children.span(), b.op, b.children.span());
  }
};

inline bool matches(const SymbolLang& a, const SymbolLang& b) noexcept { return a.matches(b); }

// Debug form: SymbolLang { op: "f", children: [1, 2] }
std::ostream& operator<<(std::ostream& os, const SymbolLang& node);

}  // namespace egraph
