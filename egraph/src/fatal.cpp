#include "egraph/fatal.h"

#include <iostream>
#include <utility>

#include "egraph/log.h"

namespace egraph {

Fatal::Fatal(std::string msg) : msg_(std::move(msg)) {}
const char* Fatal::what() const noexcept { return msg_.c_str(); }

void fatal(std::string msg) { throw Fatal(std::move(msg)); }

namespace log {
void emit(Level level, const std::string& line) {
  static constexpr const char* kNames[] = {"", "ERROR", "WARN", "INFO", "DEBUG", "TRACE"};
  std::cerr << '[' << kNames[static_cast<int>(level)] << " egraph] " << line << '\n';
}
}  // namespace log

}  // namespace egraph
