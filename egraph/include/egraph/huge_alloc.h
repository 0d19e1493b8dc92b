#pragma once
// Allocator for the e-graph's large tables: blocks of 2 MiB or more are 2 MiB-aligned and
// marked for transparent huge pages, so that random access over a million-node graph does
// not pay a page-table walk for most reads. Smaller blocks come from operator new. Purely a
// performance hint: where huge pages are unavailable the memory behaves as usual.
#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace egraph {

template <class T>
struct HugeAlloc {
  using value_type = T;
  static constexpr std::size_t kHuge = std::size_t{2} << 20;

  HugeAlloc() noexcept = default;
  template <class U>
  HugeAlloc(const HugeAlloc<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kHuge) return static_cast<T*>(::operator new(bytes));
    const std::size_t rounded = (bytes + kHuge - 1) / kHuge * kHuge;
    void* p = std::aligned_alloc(kHuge, rounded);
    if (!p) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    madvise(p, rounded, MADV_HUGEPAGE);
#endif
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n * sizeof(T) < kHuge) {
      ::operator delete(p);
    } else {
      std::free(p);
    }
  }
  template <class U>
  friend bool operator==(const HugeAlloc&, const HugeAlloc<U>&) noexcept {
    return true;
  }
};

// A vector whose large buffers use huge pages.
template <class T>
using BigVec = std::vector<T, HugeAlloc<T>>;

}  // namespace egraph
