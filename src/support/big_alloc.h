#pragma once
// Allocation of large, long-lived tables. From 2 MiB on, a block is mapped on
// its own, aligned to 2 MiB, and offered to the kernel for transparent huge
// pages: interning probes land at random places in tables of many megabytes,
// where TLB misses otherwise cost as much as the cache misses themselves.
//
// The first touch of fresh memory is expensive (the kernel zeroes every page,
// and a virtual machine may back it only then), and one call such as a
// reduction builds many large tables one after another. While a
// `BlockReuse` is alive on a thread, large blocks freed on that thread are
// kept and handed out again to that thread's large allocations, whole or in
// 2 MiB-aligned pieces (a piece of a mapping can be unmapped on its own), so
// the later tables land on pages that are already in place. Whatever is still
// kept when it ends is unmapped. Blocks mapped then are not offered for huge
// pages: a fresh huge page can cost several times more to fault in than the
// same memory in small pages (where the host backs memory lazily), and
// reduction tables, built once and walked mostly in order, gain little from
// them.
//
// Contract: big_free(p, bytes) takes exactly the `bytes` that big_alloc was
// given for p; a large block may be freed on any thread, with or without a
// `BlockReuse`. Allocation failure throws std::bad_alloc.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <sys/mman.h>
#include <vector>

namespace tavrine::detail {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// The large blocks freed on one thread while a BlockReuse is alive: address
// ranges, sorted by address, adjacent ones joined.
struct BlockCache {
  struct Range {
    char* begin;
    std::size_t size;
  };
  std::vector<Range> free;
};
inline thread_local BlockCache* t_block_cache = nullptr;

inline std::size_t huge_rounded(std::size_t bytes) noexcept { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

inline void* map_fresh(std::size_t rounded, bool huge_pages) {
  // Over-map by one huge page and trim both ends to the alignment.
  const std::size_t span = rounded + kHugePage;
  if (span < rounded) throw std::bad_alloc();
  void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  char* const base = static_cast<char*>(raw);
  char* const p = reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(base) + kHugePage - 1) & ~(kHugePage - 1));
  if (p != base) munmap(base, static_cast<std::size_t>(p - base));
  const std::size_t tail = static_cast<std::size_t>(base + span - (p + rounded));
  if (tail != 0) munmap(p + rounded, tail);
  if (huge_pages) madvise(p, rounded, MADV_HUGEPAGE);
  return p;
}

// Best fit among the kept ranges; the rest of the range stays kept.
inline void* take_kept(BlockCache& cache, std::size_t rounded) noexcept {
  std::size_t best = cache.free.size();
  for (std::size_t k = 0; k < cache.free.size(); ++k) {
    if (cache.free[k].size >= rounded && (best == cache.free.size() || cache.free[k].size < cache.free[best].size)) {
      best = k;
    }
  }
  if (best == cache.free.size()) return nullptr;
  BlockCache::Range& r = cache.free[best];
  char* const p = r.begin;
  if (r.size == rounded) {
    cache.free.erase(cache.free.begin() + static_cast<std::ptrdiff_t>(best));
  } else {
    r.begin += rounded;
    r.size -= rounded;
  }
  return p;
}

// Keeps a freed range; false when there was no room to note it.
inline bool keep(BlockCache& cache, char* p, std::size_t rounded) noexcept {
  auto& v = cache.free;
  auto it = std::lower_bound(v.begin(), v.end(), p, [](const BlockCache::Range& r, char* q) { return r.begin < q; });
  const bool joins_prev = it != v.begin() && std::prev(it)->begin + std::prev(it)->size == p;
  const bool joins_next = it != v.end() && p + rounded == it->begin;
  if (joins_prev && joins_next) {
    std::prev(it)->size += rounded + it->size;
    v.erase(it);
  } else if (joins_prev) {
    std::prev(it)->size += rounded;
  } else if (joins_next) {
    it->begin = p;
    it->size += rounded;
  } else {
    try {
      v.insert(it, BlockCache::Range{p, rounded});
    } catch (...) {
      return false;
    }
  }
  return true;
}

inline void* big_alloc(std::size_t bytes) {
  if (bytes < kHugePage) {
    void* p = std::malloc(bytes);
    if (!p) throw std::bad_alloc();
    return p;
  }
  const std::size_t rounded = huge_rounded(bytes);
  if (rounded < bytes) throw std::bad_alloc();
  BlockCache* const cache = t_block_cache;
  if (cache) {
    if (void* p = take_kept(*cache, rounded)) return p;
  }
  return map_fresh(rounded, cache == nullptr);
}

inline void big_free(void* p, std::size_t bytes) noexcept {
  if (p == nullptr) return;
  if (bytes < kHugePage) {
    std::free(p);
    return;
  }
  const std::size_t rounded = huge_rounded(bytes);
  if (BlockCache* cache = t_block_cache) {
    if (keep(*cache, static_cast<char*>(p), rounded)) return;
  }
  munmap(p, rounded);
}

}  // namespace tavrine::detail

namespace tavrine {

// Makes the pages of [p, p + bytes) present and writable in one call, for a
// caller about to write all of them: faulting them in one by one costs a trap
// per page on top of the zeroing, which on a virtual machine is most of it.
// Only whole pages inside the range are touched; a kernel without the call
// leaves them to fault as usual. Never changes the contents.
inline void prefault(void* p, std::size_t bytes) noexcept {
#ifdef MADV_POPULATE_WRITE
  constexpr std::uintptr_t kPage = 4096;
  const auto at = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t begin = (at + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t end = (at + bytes) & ~(kPage - 1);
  if (bytes >= detail::kHugePage && end > begin) {
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
  }
#else
  (void)p;
  (void)bytes;
#endif
}

// While alive, large blocks freed on this thread are reused by this thread's
// large allocations (see above); when it ends, the blocks still kept are
// unmapped. A BlockReuse inside another on the same thread changes nothing.
class BlockReuse {
 public:
  BlockReuse() noexcept {
    if (detail::t_block_cache == nullptr) {
      detail::t_block_cache = &cache_;
      owner_ = true;
    }
  }
  ~BlockReuse() {
    if (!owner_) return;
    detail::t_block_cache = nullptr;
    for (const auto& r : cache_.free) munmap(r.begin, r.size);
  }
  BlockReuse(const BlockReuse&) = delete;
  BlockReuse& operator=(const BlockReuse&) = delete;

  // Gives back to the kernel all but `bytes` of what is kept (rounded up to
  // whole blocks), for a caller that knows its remaining tables need no more:
  // kept pages are resident, so keeping more than will be reused only raises
  // the peak. The largest ranges are kept, since they fit any request.
  void keep_at_most(std::size_t bytes) noexcept {
    if (!owner_) return;
    using Range = detail::BlockCache::Range;
    auto& v = cache_.free;
    std::sort(v.begin(), v.end(), [](const Range& a, const Range& b) { return a.size > b.size; });
    std::size_t left = detail::huge_rounded(bytes);
    for (Range& r : v) {
      const std::size_t kept = std::min(left, r.size);
      left -= kept;
      if (kept < r.size) munmap(r.begin + kept, r.size - kept);
      r.size = kept;
    }
    std::erase_if(v, [](const Range& r) { return r.size == 0; });
    std::sort(v.begin(), v.end(), [](const Range& a, const Range& b) { return a.begin < b.begin; });
  }

  // Bytes kept for reuse right now.
  std::size_t kept_bytes() const noexcept {
    std::size_t n = 0;
    for (const auto& r : detail::t_block_cache ? detail::t_block_cache->free : cache_.free) n += r.size;
    return n;
  }

 private:
  detail::BlockCache cache_;
  bool owner_ = false;
};

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
  void deallocate(T* p, std::size_t n) noexcept { detail::big_free(p, n * sizeof(T)); }
  template <class U>
  friend bool operator==(const BigAllocator&, const BigAllocator<U>&) noexcept {
    return true;
  }
};

// A vector whose large buffers are huge-page aligned.
template <class T>
using BigVec = std::vector<T, BigAllocator<T>>;

}  // namespace tavrine
