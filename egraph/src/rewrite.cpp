#include "egraph/rewrite.h"

#include <algorithm>
#include <string>

#include "support/panic.h"

namespace egraph {

tavrine::Expected<Rewrite, std::string> Rewrite::make(std::string_view name, Pattern searcher, Pattern applier,
                                                      SymbolSource& symbols) {
  const Symbol name_sym = symbols.symbol(name);
  const std::vector<Symbol>& bound = searcher.variables();
  for (Symbol v : applier.variables()) {
    if (std::find(bound.begin(), bound.end(), v) == bound.end()) {
      return tavrine::unexpected("Rewrite " + std::string(name) + " refers to unbound var " + applier.symbol_text(v));
    }
  }
  return Rewrite(name_sym, name, std::move(searcher), std::move(applier));
}

Rewrite Rewrite::make_or_panic(std::string_view name, Pattern searcher, Pattern applier, SymbolSource& symbols) {
  auto r = make(name, std::move(searcher), std::move(applier), symbols);
  if (!r) tavrine::panic(std::move(r).error());
  return std::move(r).value();
}

}  // namespace egraph
