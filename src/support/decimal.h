#pragma once
// Decimal text of an integer, the one formatter for the numbers in DOT
// labels and canonical texts (no sign for unsigned values, no padding).
#include <charconv>
#include <concepts>
#include <string>

namespace tavrine {

template <std::integral Int>
void append_decimal(std::string& out, Int v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

}  // namespace tavrine
