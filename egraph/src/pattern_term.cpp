#include "egraph/pattern_term.h"

#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace egraph {

namespace {

// ---- Unicode white space trimming -------------------------------------------------------

bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Decodes the UTF-8 character starting at s[i]; returns its length, or 0 when malformed.
std::size_t decode_at(std::string_view s, std::size_t i, char32_t& out) {
  const unsigned char b0 = static_cast<unsigned char>(s[i]);
  std::size_t len;
  if (b0 < 0x80) {
    out = b0;
    return 1;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2, out = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, out = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, out = b0 & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const unsigned char b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    out = (out << 6) | (b & 0x3F);
  }
  return len;
}

std::string_view trim_unicode(std::string_view s) {
  // Leading.
  std::size_t i = 0;
  while (i < s.size()) {
    char32_t c;
    const std::size_t len = decode_at(s, i, c);
    if (!len || !is_unicode_space(c)) break;
    i += len;
  }
  s.remove_prefix(i);
  // Trailing: step back over one UTF-8 character at a time.
  while (!s.empty()) {
    std::size_t start = s.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80 && s.size() - start < 4) --start;
    char32_t c;
    const std::size_t len = decode_at(s, start, c);
    if (len != s.size() - start || !is_unicode_space(c)) break;
    s.remove_suffix(len);
  }
  return s;
}

// ---- S-expression pass ------------------------------------------------------------------

struct Sexp {
  bool is_list = false;
  std::string atom;
  std::vector<Sexp> items;
};

void write_sexp_debug(std::ostream& os, const Sexp& s) {
  if (!s.is_list) {
    os << "String(\"" << s.atom << "\")";
    return;
  }
  os << "List([";
  for (std::size_t i = 0; i < s.items.size(); ++i) {
    if (i) os << ", ";
    write_sexp_debug(os, s.items[i]);
  }
  os << "])";
}

class SexpReader {
 public:
  explicit SexpReader(std::string_view text) : s_(text) {}

  // Reads one element; on failure fills err and returns false.
  bool element(Sexp& out, ParseError& err) {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t')) ++pos_;
    if (pos_ >= s_.size()) return fail(err, "End of file reached");
    const char c = s_[pos_];
    if (c == '(') {
      ++pos_;
      out.is_list = true;
      for (;;) {
        skip_list_space();
        if (pos_ >= s_.size()) return fail(err, "End of file reached");
        if (s_[pos_] == ')') {
          ++pos_;
          return true;
        }
        Sexp item;
        if (!element(item, err)) return false;
        out.items.push_back(std::move(item));
      }
    }
    if (c == ')') return fail(err, "Unexpected )");
    if (c == '"') return quoted(out, err);
    const std::size_t start = pos_;
    while (pos_ < s_.size()) {
      const char d = s_[pos_];
      if (d == ' ' || d == '\n' || d == '\r' || d == '(' || d == ')') break;
      ++pos_;
    }
    if (pos_ == start) return fail(err, "expected an atom");
    out.atom.assign(s_.substr(start, pos_ - start));
    return true;
  }

  // After the first complete element only white space may follow.
  bool finish(ParseError& err) {
    skip_list_space();
    if (pos_ < s_.size()) return fail(err, "expected end of input");
    return true;
  }

 private:
  void skip_list_space() {
    while (pos_ < s_.size()) {
      const char c = s_[pos_];
      if (c == '\n') {
        ++line_;
        line_start_ = pos_ + 1;
      } else if (c != ' ' && c != '\t' && c != '\r') {
        break;
      }
      ++pos_;
    }
  }
  bool quoted(Sexp& out, ParseError& err) {
    ++pos_;  // opening quote
    std::string text;
    while (pos_ < s_.size()) {
      const char c = s_[pos_++];
      if (c == '"') {
        out.atom = std::move(text);
        return true;
      }
      if (c == '\\') {
        if (pos_ >= s_.size()) break;
        const char e = s_[pos_++];
        text.push_back(e == 'n' ? '\n' : e == 't' ? '\t' : e);
        continue;
      }
      if (c == '\n') {
        ++line_;
        line_start_ = pos_;
      }
      text.push_back(c);
    }
    return fail(err, "End of file reached");
  }
  bool fail(ParseError& err, const char* msg) {
    err = ParseError{msg, line_, pos_ - line_start_ + 1};
    return false;
  }

  std::string_view s_;
  std::size_t pos_ = 0;
  std::size_t line_ = 1;
  std::size_t line_start_ = 0;
};

// ---- Term pass --------------------------------------------------------------------------

bool is_var_text(std::string_view s) { return s.size() >= 2 && s[0] == '?'; }

struct TermBuilder {
  SymbolSource& symbols;
  PatternTerm term;
  std::optional<PatternError> error;

  // Appends the element for `s` (children first); returns its position.
  std::size_t build(const Sexp& s) {
    if (!s.is_list) {
      const Symbol sym = symbols.symbol(s.atom);
      return term.add(is_var_text(s.atom) ? PatternElem::var(sym) : PatternElem::enode(sym, {}));
    }
    if (s.items.empty()) {
      error = PatternError{PatternError::Kind::EmptySexp, {}, {}};
      return 0;
    }
    const Sexp& head = s.items.front();
    if (head.is_list) {
      std::ostringstream os;
      write_sexp_debug(os, s);
      error = PatternError{PatternError::Kind::HeadList, {}, os.str()};
      return 0;
    }
    IdList children;
    for (std::size_t k = 1; k < s.items.size(); ++k) {
      const std::size_t pos = build(s.items[k]);
      if (error) return 0;
      children.push_back(static_cast<ClassId>(pos));
    }
    const Symbol sym = symbols.symbol(head.atom);
    if (is_var_text(head.atom)) {
      if (!children.empty()) {
        error = PatternError{PatternError::Kind::BadOp, {}, head.atom};
        return 0;
      }
      return term.add(PatternElem::var(sym));
    }
    return term.add(PatternElem::enode(sym, children.span()));
  }
};

void write_term(std::ostream& os, const PatternTerm& t, std::size_t pos) {
  const PatternElem& e = t[pos];
  if (e.is_var() || e.children.empty()) {
    os << e.sym;
    return;
  }
  os << '(' << e.sym;
  for (ClassId c : e.children) {
    os << ' ';
    write_term(os, t, c);
  }
  os << ')';
}

}  // namespace

std::string PatternError::debug() const {
  std::ostringstream os;
  switch (kind) {
    case Kind::EmptySexp:
      os << "EmptySexp";
      break;
    case Kind::BadSexp:
      os << "BadSexp(ParseError { msg: \"" << sexp.msg << "\", line: " << sexp.line << ", col: " << sexp.col
         << " })";
      break;
    case Kind::HeadList:
      os << "HeadList(" << text << ")";
      break;
    case Kind::BadOp:
      os << "BadOp(UnexpectedVar(\"" << text << "\"))";
      break;
    case Kind::BadVar:
      os << "BadVar(MissingQuestionMark(\"" << text << "\"))";
      break;
  }
  return os.str();
}

tavrine::Expected<PatternTerm, PatternError> parse_pattern_term(std::string_view text, SymbolSource& symbols) {
  const std::string_view trimmed = trim_unicode(text);
  if (trimmed.empty()) return tavrine::unexpected(PatternError{PatternError::Kind::EmptySexp, {}, {}});
  SexpReader reader(trimmed);
  Sexp sexp;
  ParseError err;
  if (!reader.element(sexp, err) || !reader.finish(err)) {
    return tavrine::unexpected(PatternError{PatternError::Kind::BadSexp, std::move(err), {}});
  }
  TermBuilder builder{symbols, {}, {}};
  builder.build(sexp);
  if (builder.error) return tavrine::unexpected(std::move(*builder.error));
  return std::move(builder.term);
}

tavrine::Expected<Symbol, PatternError> parse_var(std::string_view text, SymbolSource& symbols) {
  if (text.empty() || text[0] != '?') {
    return tavrine::unexpected(PatternError{PatternError::Kind::BadVar, {}, std::string(text)});
  }
  return symbols.symbol(text);
}

std::ostream& operator<<(std::ostream& os, const PatternTerm& t) {
  if (t.size() == 0) return os << "()";
  write_term(os, t, t.size() - 1);
  return os;
}

std::string to_sexp(const PatternTerm& t) {
  std::ostringstream os;
  os << t;
  return os.str();
}

}  // namespace egraph
