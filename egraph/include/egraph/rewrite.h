#pragma once
// A named rewrite rule: searcher pattern => applier pattern.
#include <cstddef>
#include <string>
#include <string_view>

#include "egraph/pattern.h"
#include "support/expected.h"

namespace egraph {

class Rewrite {
 public:
  // Fails with "Rewrite <name> refers to unbound var <var>" for the first applier variable
  // (in order of first position) that the searcher does not bind. The name's symbol comes
  // from `symbols`, which must be the numbering the patterns were read with.
  static tavrine::Expected<Rewrite, std::string> make(std::string_view name, Pattern searcher, Pattern applier,
                                                      SymbolSource& symbols);
  // Panics with the failure text.
  static Rewrite make_or_panic(std::string_view name, Pattern searcher, Pattern applier, SymbolSource& symbols);

  Symbol name() const noexcept { return name_; }
  const std::string& name_text() const noexcept { return name_text_; }
  const Pattern& searcher() const noexcept { return searcher_; }
  const Pattern& applier() const noexcept { return applier_; }

  MatchSet search_with_limit(const EGraph& g, std::size_t limit, const Deadline* deadline = nullptr) const {
    return searcher_.search_with_limit(g, limit, deadline, &applier_);
  }
  // Applies the applier to the matches; the result is the number of merges.
  std::size_t apply(EGraph& g, const MatchSet& matches, const Deadline* deadline = nullptr) const {
    return applier_.apply_matches(g, matches, name_, deadline).size();
  }

 private:
  Rewrite(Symbol name, std::string_view name_text, Pattern searcher, Pattern applier)
      : name_(name), name_text_(name_text), searcher_(std::move(searcher)), applier_(std::move(applier)) {}
  Symbol name_;
  std::string name_text_;
  Pattern searcher_;
  Pattern applier_;
};

}  // namespace egraph
