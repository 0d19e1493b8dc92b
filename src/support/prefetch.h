#pragma once
// A prefetch window for loops over positions: while the loop visits position
// i, the memory its visit of position i + d (or i - d, going down) will read
// is requested, so that it has arrived by the time the loop gets there. Each
// FetchAhead is one such distance with what to fetch there; a loop may carry
// several (near tables close, far ones further ahead).
//
//   visit_ascending(n, [&](Pos i) { ... },
//                   FetchAhead{8, [&](Pos j) { prefetch_read(&table[key(j)]); }});
//
// The visit may return early (as a loop's `continue` would).
#include <cstddef>

namespace tavrine {

// Hints to load the line holding `p`, for reading or for writing.
inline void prefetch_read(const void* p) noexcept { __builtin_prefetch(p, 0); }
inline void prefetch_write(const void* p) noexcept { __builtin_prefetch(p, 1); }

template <class Fetch>
struct FetchAhead {
  std::size_t distance;
  Fetch fetch;  // fetch(position): requests the memory that position's visit reads
};
template <class Fetch>
FetchAhead(std::size_t, Fetch) -> FetchAhead<Fetch>;

// The visits are always inlined into the loop's owner: out of line, every
// local a visit captures would live in memory instead of a register.
//
// Visits begin, begin + 1, .., end - 1; before visiting i, each window fetches
// for i + distance when that is below end.
template <class I, class Visit, class... Fetch>
[[gnu::always_inline]] inline void visit_ascending(I begin, I end, Visit&& visit, const FetchAhead<Fetch>&... ahead) {
  for (I i = begin; i < end; ++i) {
    ((i + ahead.distance < end ? ahead.fetch(static_cast<I>(i + ahead.distance)) : void()), ...);
    visit(i);
  }
}
template <class I, class Visit, class... Fetch>
[[gnu::always_inline]] inline void visit_ascending(I end, Visit&& visit, const FetchAhead<Fetch>&... ahead) {
  visit_ascending(I{0}, end, visit, ahead...);
}

// Visits end - 1, .., 1, 0; before visiting i, each window fetches for
// i - distance when that is a position.
template <class I, class Visit, class... Fetch>
[[gnu::always_inline]] inline void visit_descending(I end, Visit&& visit, const FetchAhead<Fetch>&... ahead) {
  for (I i = end; i-- > 0;) {
    ((i >= ahead.distance ? ahead.fetch(static_cast<I>(i - ahead.distance)) : void()), ...);
    visit(i);
  }
}

}  // namespace tavrine
