#pragma once
// Append-only storage whose elements never move.
//
// Elements live in segments of doubling size (1024, 2048, ...); a segment,
// once allocated, is never reallocated. One writer (serialized by the owner's
// lock) appends; any number of readers may read elements that were published
// to them (through that lock) while the writer keeps appending, because the
// writer only touches slots beyond what readers can know about.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "support/big_alloc.h"

namespace tavrine {

template <class T>
class AppendOnly {
  static constexpr std::size_t kFirstBits = 10;
  static constexpr std::size_t kMaxSegments = 48;

 public:
  AppendOnly() = default;
  AppendOnly(const AppendOnly&) = delete;
  AppendOnly& operator=(const AppendOnly&) = delete;
  ~AppendOnly() {
    if constexpr (!std::is_trivially_destructible_v<T>) {
      for (std::size_t i = 0; i < size_; ++i) at(i)->~T();
    }
    for (std::size_t k = 0; k < segments_; ++k) detail::big_free(at(first_of(k)), segment_bytes(k));
  }

  std::size_t size() const noexcept { return size_; }

  T& operator[](std::size_t i) noexcept { return *at(i); }
  const T& operator[](std::size_t i) const noexcept { return *at(i); }

  // Makes sure the next `n` elements have their memory, so that appending
  // them cannot fail for want of it (may throw std::bad_alloc; then the
  // elements already stored are untouched).
  void ensure_room(std::size_t n) {
    if (n <= capacity_ - size_) return;
    const std::size_t last = segment_of(size_ + n - 1);
    while (segments_ <= last) allocate_next();
  }

  template <class... Args>
  T& emplace_back(Args&&... args) {
    if (next_ == segment_end_) [[unlikely]] enter_segment_of_next();
    T* slot = new (next_) T(std::forward<Args>(args)...);
    ++next_;
    ++size_;
    return *slot;
  }

  // Removes the newest element; its memory stays for the next append.
  void pop_back() noexcept {
    at(size_ - 1)->~T();
    --size_;
    next_ = segment_end_ = nullptr;  // found again at the next append
  }

  // Bytes of the segments allocated so far.
  std::size_t memory_bytes() const noexcept { return capacity_ * sizeof(T); }

 private:
  // Segment k holds the elements [first_of(k), first_of(k + 1)).
  static std::size_t segment_of(std::size_t i) noexcept {
    // The highest set bit of a number that is never 0: one instruction,
    // where bit_width would also test for 0.
    return static_cast<std::size_t>(63 - __builtin_clzll(static_cast<unsigned long long>((i >> kFirstBits) + 1)));
  }
  static std::size_t first_of(std::size_t k) noexcept { return ((std::size_t{1} << k) - 1) << kFirstBits; }
  static std::size_t segment_bytes(std::size_t k) noexcept { return sizeof(T) << (kFirstBits + k); }

  // Each segment's address is kept less the bytes of the elements before
  // it, so that element i of any segment is at that address + i * sizeof(T):
  // a lookup is the segment's number and one multiply-add.
  T* at(std::size_t i) const noexcept { return reinterpret_cast<T*>(biased_[segment_of(i)] + i * sizeof(T)); }

  // Points the append cursor at element size_, allocating its segment if
  // need be: an append then writes through the cursor without finding the
  // segment again, until the segment is full.
  void enter_segment_of_next() {
    if (size_ == capacity_) allocate_next();
    next_ = at(size_);
    segment_end_ = at(first_of(segment_of(size_) + 1) - 1) + 1;
  }

  // Segments are allocated in order, so those allocated are always the
  // first `segments_`, holding `capacity_` elements.
  void allocate_next() {
    static_assert(alignof(T) <= alignof(std::max_align_t));
    const std::size_t k = segments_;
    void* p = detail::big_alloc(segment_bytes(k));
    biased_[k] = reinterpret_cast<std::uintptr_t>(p) - first_of(k) * sizeof(T);
    ++segments_;
    capacity_ = first_of(k + 1);
  }

  std::array<std::uintptr_t, kMaxSegments> biased_{};
  std::size_t segments_ = 0;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
  // Where element size_ goes and the end of its segment (both null until
  // the first append, and after a pop).
  T* next_ = nullptr;
  T* segment_end_ = nullptr;
};

}  // namespace tavrine
