#pragma once
// Decimal text of an integer, the one formatter for the numbers in DOT
// labels and canonical texts (no sign for unsigned values, no padding).
#include <charconv>
#include <concepts>
#include <string>

namespace tavrine {

// Always inlined: it sits on the per-node paths of the DOT writer and of the
// optimizer's node symbols, where a call would cost more than the digits.
template <std::integral Int>
[[gnu::always_inline]] inline void append_decimal(std::string& out, Int v) {
  char buf[24];  // 20 digits and a sign cover every 64-bit value
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

}  // namespace tavrine
