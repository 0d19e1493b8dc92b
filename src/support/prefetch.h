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
// The visit may return early (as a loop's `continue` would); a visit that
// returns bool ends the loop by returning false (visit_ascending_while).
// A window's fetch may also prepare a value that the visit, or a nearer
// window, reads later (a root found, a hash computed): every position gets
// its fetch exactly once, in order, before anything nearer reads it, as long
// as the preparing window is given before the windows that read it. Such
// values live in a ring at least distance + 1 long (AheadRing).
#include <cstddef>

namespace tavrine {

// Hints to load the line holding `p`, for reading or for writing.
[[gnu::always_inline]] inline void prefetch_read(const void* p) noexcept { __builtin_prefetch(p, 0); }
[[gnu::always_inline]] inline void prefetch_write(const void* p) noexcept { __builtin_prefetch(p, 1); }

template <class Fetch>
struct FetchAhead {
  std::size_t distance;
  Fetch fetch;  // fetch(position): requests the memory that position's visit reads
};
template <class Fetch>
FetchAhead(std::size_t, Fetch) -> FetchAhead<Fetch>;

// A window's first positions, begin .. begin + distance - 1 (below end),
// which no step reaches.
template <class I, class Fetch>
[[gnu::always_inline]] inline void prime_window(I begin, I end, const FetchAhead<Fetch>& ahead) {
  for (I j = begin; j < end && j < begin + ahead.distance; ++j) ahead.fetch(j);
}

// The same going down: end - 1 .. end - distance (from 0 up).
template <class I, class Fetch>
[[gnu::always_inline]] inline void prime_window_below(I end, const FetchAhead<Fetch>& ahead) {
  for (I j = end; j-- > 0 && end - j <= ahead.distance;) ahead.fetch(j);
}

// The visits and steps are always inlined into the loop's owner: out of
// line, every local a visit captures would live in memory instead of a
// register.

// One step going up at position i: each window fetches for i + distance
// when that is below end.
template <class I, class... Fetch>
[[gnu::always_inline]] inline void fetch_above(I i, I end, const FetchAhead<Fetch>&... ahead) {
  ((i + ahead.distance < end ? ahead.fetch(static_cast<I>(i + ahead.distance)) : void()), ...);
}
// One step going down at position i: each window fetches for i - distance
// when that is a position. Also for worklists taken from their end, `i`
// being the entry about to be taken.
template <class I, class... Fetch>
[[gnu::always_inline]] inline void fetch_below(I i, const FetchAhead<Fetch>&... ahead) {
  ((i >= ahead.distance ? ahead.fetch(static_cast<I>(i - ahead.distance)) : void()), ...);
}

// Visits begin, begin + 1, .., end - 1 while the visit returns true, and
// returns the position it returned false at (end when it never did). Each
// window first fetches for its first `distance` positions, then before
// visiting i for i + distance.
template <class I, class Visit, class... Fetch>
[[gnu::always_inline]] inline I visit_ascending_while(I begin, I end, Visit&& visit, const FetchAhead<Fetch>&... ahead) {
  (prime_window(begin, end, ahead), ...);
  for (I i = begin; i < end; ++i) {
    fetch_above(i, end, ahead...);
    if (!visit(i)) return i;
  }
  return end;
}
template <class I, class Visit, class... Fetch>
[[gnu::always_inline]] inline void visit_ascending(I begin, I end, Visit&& visit, const FetchAhead<Fetch>&... ahead) {
  visit_ascending_while(begin, end, [&](I i) { return visit(i), true; }, ahead...);
}
template <class I, class Visit, class... Fetch>
[[gnu::always_inline]] inline void visit_ascending(I end, Visit&& visit, const FetchAhead<Fetch>&... ahead) {
  visit_ascending(I{0}, end, visit, ahead...);
}

// Visits end - 1, .., 1, 0. Each window first fetches for its first
// `distance` positions (end - 1 down), then before visiting i for
// i - distance when that is a position.
template <class I, class Visit, class... Fetch>
[[gnu::always_inline]] inline void visit_descending(I end, Visit&& visit, const FetchAhead<Fetch>&... ahead) {
  (prime_window_below(end, ahead), ...);
  for (I i = end; i-- > 0;) {
    fetch_below(i, ahead...);
    visit(i);
  }
}

// Values a window prepares for the positions ahead, kept until the visit
// (or a nearer window) reads them: position i's value at i % N. N must
// exceed the preparing window's distance, so that preparing i + distance
// cannot overwrite the value the visit of i is about to read.
template <class T, std::size_t N>
class AheadRing {
 public:
  T& operator[](std::size_t position) noexcept { return slots_[position % N]; }
  const T& operator[](std::size_t position) const noexcept { return slots_[position % N]; }

 private:
  T slots_[N];
};

}  // namespace tavrine
