#pragma once
// The tests' numbering of texts: one for the whole test process, values from 1 in order of
// first use, each value's text kept so that a test can name what it finds. The engine has
// no numbering of its own; its callers bring one (the optimizer one per run).
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "egraph/egraph.h"

namespace egraph::test {

class TextNumbering final : public SymbolSource {
 public:
  Symbol symbol(std::string_view text) override {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = values_.find(std::string(text));
    if (it != values_.end()) return Symbol::from_value(it->second);
    texts_.emplace_back(text);
    const auto value = static_cast<std::uint32_t>(texts_.size());
    values_.emplace(texts_.back(), value);
    return Symbol::from_value(value);
  }
  // The text `s` was numbered for.
  std::string text(Symbol s) const {
    std::lock_guard<std::mutex> lock(mu_);
    return texts_.at(s.value() - 1);
  }
  std::size_t size() const {
    std::lock_guard<std::mutex> lock(mu_);
    return texts_.size();
  }

 private:
  mutable std::mutex mu_;
  std::deque<std::string> texts_;
  std::unordered_map<std::string, std::uint32_t> values_;
};

inline TextNumbering& symbols() {
  static TextNumbering numbering;
  return numbering;
}

inline Symbol S(std::string_view text) { return symbols().symbol(text); }
inline std::string text_of(Symbol s) { return symbols().text(s); }
inline Pattern P(std::string_view text) { return Pattern::parse_or_panic(text, symbols()); }
inline Rewrite make_rule(std::string_view name, Pattern searcher, Pattern applier) {
  return Rewrite::make_or_panic(name, std::move(searcher), std::move(applier), symbols());
}

}  // namespace egraph::test
