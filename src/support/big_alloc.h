#pragma once
// Allocation of large, long-lived tables. Past 2 MiB the memory is aligned
// to 2 MiB and offered to the kernel for transparent huge pages: interning
// probes land at random places in tables of many megabytes, where TLB misses
// otherwise cost as much as the cache misses themselves.
#include <cstddef>
#include <cstdlib>
#include <new>
#include <sys/mman.h>
#include <vector>

namespace tavrine::detail {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

inline void* big_alloc(std::size_t bytes) {
  if (bytes < kHugePage) {
    void* p = std::malloc(bytes);
    if (!p) throw std::bad_alloc();
    return p;
  }
  std::size_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
  void* p = std::aligned_alloc(kHugePage, rounded);
  if (!p) throw std::bad_alloc();
  madvise(p, rounded, MADV_HUGEPAGE);
  return p;
}

inline void big_free(void* p) noexcept { std::free(p); }

}  // namespace tavrine::detail

namespace tavrine {

// An allocator over big_alloc, for vectors that grow large.
template <class T>
struct BigAllocator {
  using value_type = T;
  BigAllocator() noexcept = default;
  template <class U>
  BigAllocator(const BigAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(detail::big_alloc(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t) noexcept { detail::big_free(p); }
  template <class U>
  friend bool operator==(const BigAllocator&, const BigAllocator<U>&) noexcept {
    return true;
  }
};

// A vector whose large buffers are huge-page aligned.
template <class T>
using BigVec = std::vector<T, BigAllocator<T>>;

}  // namespace tavrine
