// Large blocks and their reuse within a BlockReuse.
#include <gtest/gtest.h>

#include <cstdint>
#include <cerrno>
#include <cstring>
#include <sys/mman.h>
#include <sys/resource.h>
#include <thread>
#include <vector>

#include "sanitized.h"
#include "support/append_only.h"
#include "support/big_alloc.h"

namespace tavrine {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

bool aligned(const void* p) { return reinterpret_cast<std::uintptr_t>(p) % detail::kHugePage == 0; }

TEST(BigAlloc, LargeBlocksAreAlignedWritableAndGivenBack) {
  for (std::size_t bytes : {2 * kMiB, 2 * kMiB + 1, 9 * kMiB}) {
    auto* p = static_cast<char*>(detail::big_alloc(bytes));
    EXPECT_TRUE(aligned(p));
    std::memset(p, 0x5A, bytes);
    detail::big_free(p, bytes);
  }
  // Small blocks come from the heap.
  void* small = detail::big_alloc(100);
  detail::big_free(small, 100);
  detail::big_free(nullptr, 4 * kMiB);
}

TEST(BigAlloc, FreedBlocksAreReusedOnlyWhileABlockReuseLives) {
  {
    BlockReuse reuse;
    auto* a = static_cast<char*>(detail::big_alloc(6 * kMiB));
    std::memset(a, 1, 6 * kMiB);
    detail::big_free(a, 6 * kMiB);
    EXPECT_EQ(reuse.kept_bytes(), 6 * kMiB);
    // Pieces of the kept block serve smaller requests, best fit first.
    auto* b = static_cast<char*>(detail::big_alloc(2 * kMiB));
    EXPECT_EQ(b, a);
    auto* c = static_cast<char*>(detail::big_alloc(3 * kMiB));  // rounded to 4 MiB
    EXPECT_EQ(c, a + 2 * kMiB);
    EXPECT_EQ(reuse.kept_bytes(), 0u);
    EXPECT_EQ(c[0], 1);  // the pages are the ones already in place
    // Neighbouring pieces join again when both are back.
    detail::big_free(b, 2 * kMiB);
    detail::big_free(c, 3 * kMiB);
    EXPECT_EQ(reuse.kept_bytes(), 6 * kMiB);
    EXPECT_EQ(detail::big_alloc(5 * kMiB), a);
    {
      BlockReuse inner;  // changes nothing
      detail::big_free(a, 5 * kMiB);
      EXPECT_EQ(inner.kept_bytes(), 6 * kMiB);
    }
    EXPECT_EQ(reuse.kept_bytes(), 6 * kMiB);
    // A request larger than anything kept gets fresh memory.
    void* big = detail::big_alloc(8 * kMiB);
    EXPECT_TRUE(aligned(big));
    EXPECT_EQ(reuse.kept_bytes(), 6 * kMiB);
    // Another thread neither sees nor feeds this thread's blocks.
    std::thread([&] {
      void* q = detail::big_alloc(2 * kMiB);
      EXPECT_NE(q, a);
      detail::big_free(big, 8 * kMiB);
      detail::big_free(q, 2 * kMiB);
    }).join();
    EXPECT_EQ(reuse.kept_bytes(), 6 * kMiB);
  }
  // Without a BlockReuse nothing is kept: a new one starts empty.
  void* d = detail::big_alloc(2 * kMiB);
  detail::big_free(d, 2 * kMiB);
  BlockReuse later;
  EXPECT_EQ(later.kept_bytes(), 0u);
}

TEST(BigAlloc, KeepAtMostGivesBackAllButTheLargestRanges) {
  BlockReuse reuse;
  auto* x = static_cast<char*>(detail::big_alloc(16 * kMiB));
  std::memset(x, 3, 16 * kMiB);
  detail::big_free(x, 16 * kMiB);
  // Two kept ranges, 4 and 8 MiB, held apart by pieces still in use.
  char* const first = static_cast<char*>(detail::big_alloc(4 * kMiB));
  char* const gap = static_cast<char*>(detail::big_alloc(2 * kMiB));
  char* const second = static_cast<char*>(detail::big_alloc(8 * kMiB));
  char* const tail = static_cast<char*>(detail::big_alloc(2 * kMiB));
  ASSERT_EQ(first, x);
  ASSERT_EQ(second, x + 6 * kMiB);
  detail::big_free(first, 4 * kMiB);
  detail::big_free(second, 8 * kMiB);
  ASSERT_EQ(reuse.kept_bytes(), 12 * kMiB);
  // 9 MiB is kept as whole blocks: all of the larger range, the start of the other.
  reuse.keep_at_most(9 * kMiB);
  EXPECT_EQ(reuse.kept_bytes(), 10 * kMiB);
  unsigned char resident[512];
  errno = 0;
  EXPECT_EQ(mincore(x + 2 * kMiB, 2 * kMiB, resident), -1) << "the rest is unmapped";
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(detail::big_alloc(8 * kMiB), second);
  EXPECT_EQ(detail::big_alloc(2 * kMiB), first);
  EXPECT_EQ(first[0], 3);  // still the pages that were in place
  EXPECT_EQ(reuse.kept_bytes(), 0u);
  // More than is kept, or nothing at all, leaves it as it is.
  detail::big_free(gap, 2 * kMiB);
  reuse.keep_at_most(64 * kMiB);
  EXPECT_EQ(reuse.kept_bytes(), 2 * kMiB);
  reuse.keep_at_most(0);
  EXPECT_EQ(reuse.kept_bytes(), 0u);
  detail::big_free(second, 8 * kMiB);
  detail::big_free(first, 2 * kMiB);
  detail::big_free(tail, 2 * kMiB);
}

TEST(BigAlloc, VectorsGrowAndShrinkThroughKeptBlocks) {
  BlockReuse reuse;
  BigVec<std::uint64_t> v;
  for (std::uint64_t i = 0; i < 3'000'000; ++i) v.push_back(i);
  std::uint64_t sum = 0;
  for (std::uint64_t x : v) sum += x;
  EXPECT_EQ(sum, 3'000'000ull * 2'999'999ull / 2);
  BigVec<std::uint64_t>().swap(v);
  EXPECT_GT(reuse.kept_bytes(), 24 * kMiB);  // the final buffer, at least
  BigVec<std::uint32_t> w(5'000'000, 7);  // value-initialized even on reused pages
  EXPECT_EQ(w[4'999'999], 7u);
}

long minor_faults() {
  rusage r{};
  getrusage(RUSAGE_SELF, &r);
  return r.ru_minflt;
}

TEST(BigAlloc, PrefaultKeepsContentsAndLeavesNothingToFault) {
  // On reused (written) pages and across odd range ends, the contents stay as they were.
  BlockReuse reuse;
  auto* a = static_cast<unsigned char*>(detail::big_alloc(8 * kMiB));
  for (std::size_t i = 0; i < 8 * kMiB; ++i) a[i] = static_cast<unsigned char>(i * 7 + 1);
  prefault(a + 3, 5 * kMiB + 11);
  prefault(a + 4096 + 1, 100);  // inside one page: nothing whole to touch
  prefault(a, 0);
  for (std::size_t i = 0; i < 8 * kMiB; ++i) ASSERT_EQ(a[i], static_cast<unsigned char>(i * 7 + 1)) << i;
  detail::big_free(a, 8 * kMiB);

  // A fresh mapping reads as zeros after it, and writing it then takes (almost) no faults
  // where the kernel can populate ranges.
  auto* fresh = static_cast<unsigned char*>(detail::map_fresh(16 * kMiB, false));
  const bool can_populate =
#ifdef MADV_POPULATE_WRITE
      madvise(fresh, 4096, MADV_POPULATE_WRITE) == 0;
#else
      false;
#endif
  prefault(fresh, 16 * kMiB);
  const long before = minor_faults();
  std::size_t nonzero = 0;
  for (std::size_t i = 0; i < 16 * kMiB; i += 4096) {
    nonzero += fresh[i] != 0;
    fresh[i] = 1;
  }
  const long faults = minor_faults() - before;
  EXPECT_EQ(nonzero, 0u);
#ifndef TAVRINE_TEST_SANITIZED  // a sanitizer's shadow pages fault on their own
  if (can_populate) {
    EXPECT_LT(faults, 1024);  // of 4096 pages
  }
#else
  (void)can_populate;
  (void)faults;
#endif
  munmap(fresh, 16 * kMiB);
}

}  // namespace
}  // namespace tavrine

// Elements stay where they were put across every segment boundary, room made
// ahead covers exactly what it promised, and a popped slot is reused.
TEST(AppendOnly, ElementsKeepTheirPlaceAcrossSegments) {
  tavrine::AppendOnly<std::uint64_t> v;
  std::vector<const std::uint64_t*> where;
  for (std::uint64_t i = 0; i < 20000; ++i) {
    if (i % 3000 == 0) v.ensure_room(1 + i % 7000);
    where.push_back(&v.emplace_back(i * 7));
  }
  for (std::uint64_t i = 0; i < where.size(); ++i) {
    ASSERT_EQ(&v[i], where[i]) << i;
    ASSERT_EQ(v[i], i * 7) << i;
  }
  // 1024 + 2048 + ... : the fifth segment ends at 31743.
  EXPECT_EQ(v.memory_bytes(), std::size_t{31744} * sizeof(std::uint64_t));
  v.pop_back();
  EXPECT_EQ(&v.emplace_back(1), where.back());
  EXPECT_EQ(v.size(), 20000u);
  // Popped back to either side of a segment boundary (3072 is the first
  // element of the third segment), appends go where the elements were.
  while (v.size() > 3073) v.pop_back();
  for (std::size_t end : {3072u, 3071u}) {
    while (v.size() > end) v.pop_back();
    EXPECT_EQ(&v.emplace_back(2), where[end]) << end;
    EXPECT_EQ(&v.emplace_back(3), where[end + 1]) << end;
  }
}
