#include "egraph/log.h"

#include <iostream>

namespace egraph::log {

void emit(Level level, const std::string& line) {
  static constexpr const char* kNames[] = {"", "ERROR", "WARN", "INFO", "DEBUG", "TRACE"};
  std::cerr << '[' << kNames[static_cast<int>(level)] << " egraph] " << line << '\n';
}

}  // namespace egraph::log
