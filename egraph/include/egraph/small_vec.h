#pragma once
// A small vector of trivially copyable values with N elements stored inline.
//
// Used for e-node child lists and per-class node/parent lists so that the common short
// lists need no heap allocation. Sizes are 32-bit: no list in an e-graph can exceed the
// 32-bit id space anyway.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <span>
#include <type_traits>

namespace egraph {

template <class T, std::uint32_t N>
class SmallVec {
  static_assert(std::is_trivially_copyable_v<T>);
  static_assert(N >= 1);

 public:
  using value_type = T;
  using iterator = T*;
  using const_iterator = const T*;

  SmallVec() noexcept = default;
  SmallVec(std::span<const T> items) { assign(items); }
  SmallVec(std::initializer_list<T> items) { assign(std::span<const T>(items.begin(), items.size())); }
  SmallVec(const SmallVec& other) { assign(other.span()); }
  SmallVec(SmallVec&& other) noexcept { steal(other); }
  SmallVec& operator=(const SmallVec& other) {
    if (this != &other) {
      clear();
      assign(other.span());
    }
    return *this;
  }
  SmallVec& operator=(SmallVec&& other) noexcept {
    if (this != &other) {
      release();
      steal(other);
    }
    return *this;
  }
  ~SmallVec() { release(); }

  std::uint32_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T* data() noexcept { return cap_ > N ? heap_ : inline_; }
  const T* data() const noexcept { return cap_ > N ? heap_ : inline_; }
  T& operator[](std::size_t i) noexcept { return data()[i]; }
  const T& operator[](std::size_t i) const noexcept { return data()[i]; }
  T* begin() noexcept { return data(); }
  T* end() noexcept { return data() + size_; }
  const T* begin() const noexcept { return data(); }
  const T* end() const noexcept { return data() + size_; }
  T& back() noexcept { return data()[size_ - 1]; }
  std::span<T> span() noexcept { return {data(), size_}; }
  std::span<const T> span() const noexcept { return {data(), size_}; }

  void clear() noexcept { size_ = 0; }
  void push_back(T value) {
    if (size_ == cap_) grow(size_ + 1);
    data()[size_++] = value;
  }
  void resize(std::uint32_t n) {
    if (n > cap_) grow(n);
    if (n > size_) std::memset(static_cast<void*>(data() + size_), 0, (n - size_) * sizeof(T));
    size_ = n;
  }
  void truncate(std::uint32_t n) noexcept {
    if (n < size_) size_ = n;
  }
  void append(std::span<const T> items) {
    const std::uint32_t n = static_cast<std::uint32_t>(items.size());
    if (size_ + n > cap_) grow(size_ + n);
    if (n) std::memcpy(static_cast<void*>(data() + size_), items.data(), n * sizeof(T));
    size_ += n;
  }
  // Frees any heap storage and returns to the empty inline state.
  void reset() noexcept {
    release();
    size_ = 0;
    cap_ = N;
  }
  void swap(SmallVec& other) noexcept {
    SmallVec tmp(std::move(other));
    other = std::move(*this);
    *this = std::move(tmp);
  }

  friend bool operator==(const SmallVec& a, const SmallVec& b) noexcept {
    // Short lists: a loop, not the library call std::equal becomes.
    if (a.size_ != b.size_) return false;
    for (std::uint32_t k = 0; k < a.size_; ++k) {
      if (!(a.data()[k] == b.data()[k])) return false;
    }
    return true;
  }

 private:
  void assign(std::span<const T> items) {
    size_ = 0;
    append(items);
  }
  void grow(std::uint32_t need) {
    std::uint32_t cap = std::max<std::uint32_t>(need, cap_ * 2);
    T* mem = static_cast<T*>(std::malloc(static_cast<std::size_t>(cap) * sizeof(T)));
    if (!mem) throw std::bad_alloc();
    if (size_) std::memcpy(static_cast<void*>(mem), data(), size_ * sizeof(T));
    release();
    heap_ = mem;
    cap_ = cap;
  }
  void release() noexcept {
    if (cap_ > N) std::free(heap_);
  }
  void steal(SmallVec& other) noexcept {
    size_ = other.size_;
    cap_ = other.cap_;
    if (other.cap_ > N) {
      heap_ = other.heap_;
    } else {
      if (other.size_) std::memcpy(static_cast<void*>(inline_), other.inline_, other.size_ * sizeof(T));
    }
    other.size_ = 0;
    other.cap_ = N;
  }

  std::uint32_t size_ = 0;
  std::uint32_t cap_ = N;
  union {
    T inline_[N];
    T* heap_ = nullptr;
  };
};

}  // namespace egraph
