#pragma once
// The search's loop over candidate classes, with the matcher it runs in each chosen: the
// direct path where the program allows it (what Pattern::search_with_limit runs), or the
// matching machine for every program. Within the library only; the tests run both and
// hold the direct path to the machine's results.
#include <cstddef>
#include <cstdint>

#include "egraph/pattern.h"

namespace egraph::search {

enum class Matcher : std::uint8_t {
  kFastest,  // the direct path for one Bind over distinct variables, else the machine
  kMachine,  // always the machine
};

// Matches of `pattern` as Pattern::search_with_limit finds them. With `applier` (a
// right-hand side's term) the direct path also marks each row present or not, and names
// `applier_key` in MatchSet::present_for.
MatchSet run(const EGraph& g, const Pattern& pattern, std::size_t limit, const Deadline* deadline,
             const PatternTerm* applier, const void* applier_key, Matcher matcher);

}  // namespace egraph::search
