#pragma once
// The one arena: runs of trivially copyable items that never move once
// copied in, so records may point into it and readers may read a run while
// the owner adds more (not thread-safe for writers).
#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <type_traits>

namespace tavrine {

// Chunks of 64 KiB; a run larger than a quarter chunk gets a chunk of its
// own, so that the space left in the current chunk is not wasted. A run is
// contiguous. A failed copy (std::bad_alloc) leaves the arena as it was.
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
      std::free(chunks_);
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
  static constexpr std::size_t kChunkItems = (std::size_t{1} << 16) / sizeof(T);
  struct alignas(std::max(alignof(T), alignof(void*))) Chunk {
    Chunk* prev;
  };

  // A new chunk for a run of `n` items: the run's own chunk (returned), or
  // a fresh current chunk (nullptr returned).
  T* grow(std::size_t n) {
    const std::size_t size = n > kChunkItems / 4 ? n : kChunkItems;
    const std::size_t bytes = sizeof(Chunk) + size * sizeof(T);
    auto* chunk = static_cast<Chunk*>(std::malloc(bytes));
    if (chunk == nullptr) throw std::bad_alloc();
    chunk->prev = chunks_;
    chunks_ = chunk;
    bytes_held_ += bytes;
    T* data = reinterpret_cast<T*>(chunk + 1);
    if (size == n) return data;
    cur_ = data;
    left_ = size;
    return nullptr;
  }

  Chunk* chunks_ = nullptr;
  T* cur_ = nullptr;
  std::size_t left_ = 0;
  std::size_t bytes_held_ = 0;
};

}  // namespace tavrine
