#pragma once
// Allocation of large, long-lived tables. Past 2 MiB the memory is aligned
// to 2 MiB and offered to the kernel for transparent huge pages: interning
// probes land at random places in tables of many megabytes, where TLB misses
// otherwise cost as much as the cache misses themselves.
#include <cstddef>
#include <cstdlib>
#include <new>
#include <sys/mman.h>

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
