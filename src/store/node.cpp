#include "store/node.h"

#include <algorithm>

#include "support/decimal.h"

namespace tavrine {

std::string_view kind_name(NodeKind kind) noexcept {
  switch (kind) {
    case NodeKind::Source: return "source";
    case NodeKind::Op: return "op";
    case NodeKind::Reduction: return "reduction";
    case NodeKind::External: return "external";
    case NodeKind::Stage: return "stage";
    case NodeKind::Exchange: return "exchange";
  }
  return "?";
}

ParamMap ParamMap::sorted(std::vector<Param> entries) {
  // std::string compares through char_traits<char>, i.e. as unsigned bytes,
  // with a proper prefix first: exactly the key order the map requires.
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Param& a, const Param& b) { return a.key < b.key; });
  return ParamMap{std::move(entries)};
}

bool operator==(const Node& a, const Node& b) {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case NodeKind::Source: return a.name == b.name && a.params == b.params;
    case NodeKind::Op:
    case NodeKind::Reduction: return a.name == b.name && a.params == b.params && a.inputs == b.inputs;
    case NodeKind::External: {
      bool same_desc = a.descriptor == b.descriptor ||
                       (a.descriptor && b.descriptor && *a.descriptor == *b.descriptor);
      return same_desc && a.params == b.params && a.inputs == b.inputs;
    }
    case NodeKind::Stage: return a.inputs == b.inputs && a.members == b.members;
    case NodeKind::Exchange: return a.params == b.params && a.inputs == b.inputs;
  }
  return false;
}

void append_escaped(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '%': out += "%25"; break;
      case ';': out += "%3B"; break;
      case '=': out += "%3D"; break;
      case '|': out += "%7C"; break;
      default: out += c;
    }
  }
}

std::string escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped(out, text);
  return out;
}

namespace {

// One left-to-right pass replacing non-overlapping occurrences of `from`.
std::string replace_all(std::string_view text, std::string_view from, char to) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    if (text.compare(i, from.size(), from) == 0) {
      out += to;
      i += from.size();
    } else {
      out += text[i++];
    }
  }
  return out;
}

constexpr char kHex[] = "0123456789abcdef";

}  // namespace

std::string unescape(std::string_view text) {
  if (text.find('%') == std::string_view::npos) return std::string(text);
  // The passes run in the reverse order of escaping, "%25" last, which makes
  // this the exact inverse of `escape`.
  std::string s = replace_all(text, "%7C", '|');
  s = replace_all(s, "%3D", '=');
  s = replace_all(s, "%3B", ';');
  return replace_all(s, "%25", '%');
}

void append_param_value_text(std::string& out, ParamValue::Tag tag, std::uint64_t bits, std::string_view str) {
  switch (tag) {
    case ParamValue::Tag::Int: {
      out += 'i';
      append_decimal(out, static_cast<std::int64_t>(bits));
      return;
    }
    case ParamValue::Tag::Float: {
      bits = canonical_nan(bits);
      char buf[16];
      for (int i = 15; i >= 0; --i) {
        buf[i] = kHex[bits & 0xF];
        bits >>= 4;
      }
      out += 'f';
      out.append(buf, 16);
      return;
    }
    case ParamValue::Tag::Bool: out += bits != 0 ? "btrue" : "bfalse"; return;
    case ParamValue::Tag::Str:
      out += 's';
      append_escaped(out, str);
      return;
  }
}

namespace {

std::optional<std::int64_t> parse_i64(std::string_view s) {
  if (s.empty()) return std::nullopt;
  bool neg = false;
  if (s[0] == '+' || s[0] == '-') {
    neg = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  std::uint64_t mag = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    std::uint64_t d = static_cast<std::uint64_t>(c - '0');
    if (mag > (UINT64_MAX - d) / 10) return std::nullopt;
    mag = mag * 10 + d;
  }
  const std::uint64_t limit = neg ? (std::uint64_t{1} << 63) : (std::uint64_t{1} << 63) - 1;
  if (mag > limit) return std::nullopt;
  return neg ? static_cast<std::int64_t>(0 - mag) : static_cast<std::int64_t>(mag);
}

std::optional<std::uint64_t> parse_hex_u64(std::string_view s) {
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    unsigned d;
    if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
    else return std::nullopt;
    if (v >> 60) return std::nullopt;  // the next digit would overflow 64 bits
    v = (v << 4) | d;
  }
  return v;
}

}  // namespace

std::optional<ParamMap> parse_param_text(std::string_view text) {
  if (text.empty()) return ParamMap{};
  std::vector<Param> entries;
  std::size_t start = 0;
  while (true) {
    std::size_t end = text.find(';', start);
    std::string_view piece = text.substr(start, end == std::string_view::npos ? text.size() - start : end - start);
    std::size_t eq = piece.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    std::string key = unescape(piece.substr(0, eq));
    std::string_view token = piece.substr(eq + 1);
    if (token.empty()) return std::nullopt;
    std::string_view payload = token.substr(1);
    ParamValue value;
    switch (token[0]) {
      case 'b':
        if (payload == "true") value = ParamValue::of_bool(true);
        else if (payload == "false") value = ParamValue::of_bool(false);
        else return std::nullopt;
        break;
      case 'i': {
        auto v = parse_i64(payload);
        if (!v) return std::nullopt;
        value = ParamValue::of_int(*v);
        break;
      }
      case 'f': {
        auto v = parse_hex_u64(payload);
        if (!v) return std::nullopt;
        value = ParamValue::of_float_bits(*v);
        break;
      }
      case 's': value = ParamValue::of_str(unescape(payload)); break;
      default: return std::nullopt;
    }
    entries.push_back(Param{std::move(key), std::move(value)});
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return ParamMap::sorted(std::move(entries));
}

}  // namespace tavrine
