#include "egraph/language.h"

#include <ostream>

namespace egraph {

std::ostream& operator<<(std::ostream& os, Symbol s) {
  if (s.value() == 0) return os << "<none>";
  return os << s.value();
}

std::ostream& operator<<(std::ostream& os, const SymbolLang& node) {
  os << "SymbolLang { op: \"" << node.op << "\", children: [";
  for (std::uint32_t i = 0; i < node.children.size(); ++i) os << (i ? ", " : "") << node.children[i];
  return os << "] }";
}

}  // namespace egraph
