#include "store/dot.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>

#include "support/decimal.h"
#include "support/panic.h"
#include "store/views.h"

namespace tavrine {

namespace {

// Label text taken from the graph (names, keys, string values, descriptor
// fields) is escaped as it is appended; the fixed parts of a label and the
// number texts contain neither a backslash, a double quote nor a NUL, so
// escaping the pieces equals escaping the whole label.
void append_label_text(std::string& out, std::string_view text) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\' || c == '"' || c == '\0') [[unlikely]] {
      out.append(text.data() + start, i - start);
      if (c == '\0') {
        out += kDotNul;
      } else {
        out.push_back('\\');
        out.push_back(c);
      }
      start = i + 1;
    }
  }
  out.append(text.data() + start, text.size() - start);
}

// The length of the unit of escaped label text that starts at `p`: an
// escape (a backslash and the character after it) or one UTF-8 character.
std::size_t unit_length(std::string_view text, std::size_t p) {
  std::size_t n = text[p] == '\\' ? 2 : 1;
  while (p + n < text.size() && (static_cast<unsigned char>(text[p + n]) & 0xC0) == 0x80) ++n;
  return n;
}

// Rewrites the quoted label that starts at out[start] (just after its
// opening quote) and runs to the end of `out`, as strings of at most
// kDotLongestString bytes each, joined with " + ".
void split_long_label(std::string& out, std::size_t start) {
  const std::string label = out.substr(start);
  out.resize(start);
  const std::string_view text = label;
  std::size_t piece = 0;
  for (std::size_t p = 0; p < text.size();) {
    const std::size_t n = unit_length(text, p);
    if (p + n - piece > kDotLongestString) {
      out.append(text.data() + piece, p - piece);
      out += "\" + \"";
      piece = p;
    }
    p += n;
  }
  out.append(text.data() + piece, text.size() - piece);
}

void append_param_value(std::string& out, const ParamValueRef& v) {
  switch (v.tag()) {
    case ParamValue::Tag::Int: append_decimal(out, v.as_int()); return;
    case ParamValue::Tag::Float: append_float_dot(out, v.as_float()); return;
    case ParamValue::Tag::Bool: out += v.as_bool() ? "true" : "false"; return;
    case ParamValue::Tag::Str: append_label_text(out, v.as_str()); return;
  }
}

// " {k=v, k=v}" or nothing for the empty map.
void append_params(std::string& out, ParamsView params) {
  if (params.empty()) return;
  out += " {";
  bool first = true;
  for (ParamRef p : params) {
    if (!first) out += ", ";
    first = false;
    append_label_text(out, p.key);
    out.push_back('=');
    append_param_value(out, p.value);
  }
  out.push_back('}');
}

void append_label(std::string& out, const NodeView& n) {
  switch (n.kind()) {
    case NodeKind::Source: out += "Source "; break;
    case NodeKind::Op: out += "Op "; break;
    case NodeKind::Reduction: out += "Reduction "; break;
    case NodeKind::External: {
      const DescriptorView d = n.descriptor();
      out += "External ";
      append_label_text(out, d.kind());
      out.push_back(':');
      append_label_text(out, d.content_hash());
      out += " [";
      append_label_text(out, d.framework());
      out.push_back(' ');
      append_label_text(out, d.version());
      out.push_back(']');
      append_params(out, n.params());
      return;
    }
    case NodeKind::Stage:
      out += "Stage[";
      append_decimal(out, n.members().size());
      out += " members]";
      return;
    case NodeKind::Exchange:
      out += "Exchange";
      append_params(out, n.params());
      return;
  }
  append_label_text(out, n.name());
  append_params(out, n.params());
}

}  // namespace

void append_float_dot(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  // The shortest round-trip digits come from to_chars in scientific form,
  // "[-]d[.ddd]e(+|-)xx"; they are then laid out positionally.
  char buf[40];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  expect(r.ec == std::errc(), "shortest float text fits its buffer");
  const char* p = buf;
  if (*p == '-') {
    out.push_back('-');
    ++p;
  }
  char digits[24];
  int n_digits = 0;
  while (*p != 'e') {
    if (*p != '.') digits[n_digits++] = *p;
    ++p;
  }
  ++p;  // 'e'
  int exponent = 0;
  std::from_chars(*p == '+' ? p + 1 : p, r.ptr, exponent);

  // `point` digits stand before the decimal point.
  const int point = exponent + 1;
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out.append(digits, static_cast<std::size_t>(n_digits));
  } else if (point >= n_digits) {
    out.append(digits, static_cast<std::size_t>(n_digits));
    out.append(static_cast<std::size_t>(point - n_digits), '0');
  } else {
    out.append(digits, static_cast<std::size_t>(point));
    out.push_back('.');
    out.append(digits + point, static_cast<std::size_t>(n_digits - point));
  }
}

std::string format_float_dot(double value) {
  std::string s;
  append_float_dot(s, value);
  return s;
}

std::string render_dot(const Snapshot& snap, Interrupt* interrupt) {
  InterruptCheck check(interrupt);
  const std::vector<std::uint8_t> marked = output_mask(snap);
  std::string out;
  out.reserve(32 + snap.size() * 48);
  out += "digraph tavrine {\n";
  std::size_t n_edges = 0;
  for (NodeId id = snap.begin_id(); id < snap.end_id(); ++id) {
    check.tick();
    const NodeView n = snap.node(id);
    out += "  n";
    append_decimal(out, id);
    out += " [label=\"";
    const std::size_t label = out.size();
    append_label(out, n);
    if (out.size() - label > kDotLongestString) [[unlikely]] split_long_label(out, label);
    out.push_back('"');
    if (marked[static_cast<std::size_t>(id - snap.begin_id())]) out += ", shape=doublecircle";
    out += "];\n";
    n_edges += n.inputs().size();
  }
  if (n_edges != 0) {
    for (NodeId id = snap.begin_id(); id < snap.end_id(); ++id) {
      check.tick();
      const NodeView n = snap.node(id);
      if (n.kind() == NodeKind::Source) continue;  // a Source has no inputs field
      for (NodeId in : n.inputs()) {
        out += "  n";
        append_decimal(out, in);
        out += " -> n";
        append_decimal(out, id);
        out += ";\n";
      }
    }
  }
  out += "}\n";
  return out;
}

}  // namespace tavrine
