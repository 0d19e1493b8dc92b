#pragma once
// The one arena: runs of trivially copyable items that never move once
// copied in, so records may point into it and readers may read a run while
// the owner adds more (not thread-safe for writers).
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <span>
#include <type_traits>

#include "support/big_alloc.h"

namespace tavrine {

// The first chunk is 64 KiB and each next one twice the last, up to 2 MiB,
// so a small arena stays small, and a large one takes its memory the way the
// core's large tables do (whole 2 MiB blocks, reused inside a reduction; see
// big_alloc.h) instead of from the heap in small pieces. A run larger than a
// quarter of the next chunk gets a chunk of its own, so that the space left
// in the current chunk is not wasted. A run is contiguous. A failed copy
// (std::bad_alloc) leaves the arena as it was.
template <class T>
class Arena {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena() {
    while (chunks_) {
      Chunk* prev = chunks_->prev;
      detail::big_free(chunks_, chunks_->bytes);
      chunks_ = prev;
    }
  }

  // A copy of `items`.
  const T* copy(std::span<const T> items) {
    const std::size_t n = items.size();
    if (n > left_) [[unlikely]] {
      T* own = grow(n);
      if (own) {
        std::memcpy(own, items.data(), n * sizeof(T));
        return own;
      }
    }
    T* out = cur_;
    if (n) std::memcpy(out, items.data(), n * sizeof(T));
    cur_ += n;
    left_ -= n;
    return out;
  }
  std::size_t memory_bytes() const noexcept { return bytes_held_; }

 private:
  static constexpr std::size_t kFirstChunkBytes = std::size_t{1} << 16;
  static constexpr std::size_t kLastChunkBytes = detail::kHugePage;
  struct alignas(std::max(alignof(T), alignof(void*))) Chunk {
    Chunk* prev;
    std::size_t bytes;  // as allocated, header included
  };

  // A new chunk for a run of `n` items: the run's own chunk (returned), or
  // a fresh current chunk (nullptr returned). A regular chunk's size, header
  // included, is a power of two, so that it fills whole blocks exactly.
  T* grow(std::size_t n) {
    const std::size_t regular_items = (next_chunk_bytes_ - sizeof(Chunk)) / sizeof(T);
    const bool own = n > regular_items / 4;
    if (own && n > (static_cast<std::size_t>(-1) - sizeof(Chunk)) / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = own ? sizeof(Chunk) + n * sizeof(T) : next_chunk_bytes_;
    auto* chunk = static_cast<Chunk*>(detail::big_alloc(bytes));
    chunk->prev = chunks_;
    chunk->bytes = bytes;
    chunks_ = chunk;
    bytes_held_ += bytes;
    T* data = reinterpret_cast<T*>(chunk + 1);
    if (own) return data;
    next_chunk_bytes_ = std::min(kLastChunkBytes, next_chunk_bytes_ * 2);
    cur_ = data;
    left_ = regular_items;
    return nullptr;
  }

  Chunk* chunks_ = nullptr;
  std::size_t next_chunk_bytes_ = kFirstChunkBytes;
  T* cur_ = nullptr;
  std::size_t left_ = 0;
  std::size_t bytes_held_ = 0;
};

}  // namespace tavrine
