#pragma once
// Diagnostic log lines of the engine (levels error to trace).
//
// No logger is ever installed and no level is enabled, so `kMaxLevel` is 0 and every
// EGRAPH_LOG statement sits in a discarded `if constexpr` branch: it is type-checked but
// never runs, and its arguments (e-graph dumps, timings, ...) are never computed.
#include <sstream>
#include <string>

namespace egraph::log {

enum class Level : int { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// Highest level compiled in; 0 disables every level.
inline constexpr int kMaxLevel = 0;

constexpr bool enabled(Level level) { return static_cast<int>(level) <= kMaxLevel; }

// Writes one line to standard error. Only reachable when a level is enabled above.
void emit(Level level, const std::string& line);

}  // namespace egraph::log

// Usage: EGRAPH_LOG(Info, "Iteration " << i);
#define EGRAPH_LOG(level, ...)                                                         \
  do {                                                                                 \
    if constexpr (::egraph::log::enabled(::egraph::log::Level::level)) {               \
      std::ostringstream egraph_log_stream_;                                           \
      egraph_log_stream_ << __VA_ARGS__;                                               \
      ::egraph::log::emit(::egraph::log::Level::level, egraph_log_stream_.str());      \
    }                                                                                  \
  } while (0)
