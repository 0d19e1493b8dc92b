#pragma once
// Graphviz DOT text of a recorded graph.
#include <cstddef>
#include <string>
#include <string_view>

#include "store/store.h"
#include "support/interrupt.h"

namespace tavrine {

// The float text of DOT labels: the shortest decimal that reads back as the
// same double, always positional (never exponent form), without a fraction
// when integral ("1", "0.5", "-0", "1" followed by 21 zeros for 1e21), and
// "NaN", "inf", "-inf" for the special values (any NaN, whatever its sign or
// payload, is "NaN").
void append_float_dot(std::string& out, double value);
std::string format_float_dot(double value);

// The whole DOT text of the snapshot's nodes: one node line per node in id
// order (a double circle for marked ids), then one edge line per input, then
// the closing brace. Labels escape backslashes and double quotes, and write
// a NUL character (which ends every Graphviz text) as kDotNul, which
// Graphviz draws as the symbol for NUL; nothing else. A label longer than
// kDotLongestString bytes (the most Graphviz reads between the quotes of one
// string) is written as strings of at most that many bytes joined with
// " + ", DOT's concatenation, each ending before a whole character or escape.
// A snapshot is read without any lock, so rendering never holds up threads
// that record into the store meanwhile; the text shows the store as it was
// when the snapshot was taken.
// `interrupt`, if any, is consulted as it goes.
inline constexpr std::string_view kDotNul = "&#9216;";
inline constexpr std::size_t kDotLongestString = 16381;
std::string render_dot(const Snapshot& snap, Interrupt* interrupt = nullptr);

}  // namespace tavrine
