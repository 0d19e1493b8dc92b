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
      for (std::size_t i = 0; i < size_; ++i) (*this)[i].~T();
    }
    for (std::size_t k = 0; k < kMaxSegments; ++k) {
      if (segments_[k]) detail::big_free(segments_[k], sizeof(T) << (kFirstBits + k));
    }
  }

  std::size_t size() const noexcept { return size_; }

  T& operator[](std::size_t i) noexcept {
    auto [k, off] = locate(i);
    return segments_[k][off];
  }
  const T& operator[](std::size_t i) const noexcept {
    auto [k, off] = locate(i);
    return segments_[k][off];
  }

  // Makes sure the next `n` elements have their memory, so that appending
  // them cannot fail for want of it (may throw std::bad_alloc; then the
  // elements already stored are untouched).
  void ensure_room(std::size_t n) {
    if (n == 0) return;
    const std::size_t last = locate(size_ + n - 1).first;
    for (std::size_t k = locate(size_).first; k <= last; ++k) allocate(k);
  }

  template <class... Args>
  T& emplace_back(Args&&... args) {
    auto [k, off] = locate(size_);
    allocate(k);
    T* slot = new (segments_[k] + off) T(std::forward<Args>(args)...);
    ++size_;
    return *slot;
  }

  // Removes the newest element; its memory stays for the next append.
  void pop_back() noexcept {
    (*this)[size_ - 1].~T();
    --size_;
  }

  // Bytes of the segments allocated so far.
  std::size_t memory_bytes() const noexcept {
    std::size_t n = 0;
    for (std::size_t k = 0; k < kMaxSegments && segments_[k]; ++k) n += sizeof(T) << (kFirstBits + k);
    return n;
  }

 private:
  void allocate(std::size_t k) {
    if (segments_[k]) return;
    static_assert(alignof(T) <= alignof(std::max_align_t));
    segments_[k] = static_cast<T*>(detail::big_alloc(sizeof(T) * (std::size_t{1} << (kFirstBits + k))));
  }
  static std::pair<std::size_t, std::size_t> locate(std::size_t i) noexcept {
    std::size_t block = (i >> kFirstBits) + 1;
    std::size_t k = static_cast<std::size_t>(std::bit_width(block)) - 1;
    std::size_t off = i - (((std::size_t{1} << k) - 1) << kFirstBits);
    return {k, off};
  }

  std::array<T*, kMaxSegments> segments_{};
  std::size_t size_ = 0;
};

}  // namespace tavrine
