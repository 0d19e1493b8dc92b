#pragma once
// A minimal value-or-error type: the core returns errors as values and only
// the Python surface turns them into exceptions.
//
// The two alternatives share a union beside a flag. With trivially copyable
// alternatives (ids, small error records) the whole type is trivially
// copyable and comes back from a call in two registers, built there: the
// interning paths return one per node. (Built on std::variant, it was
// assembled in memory and reloaded whole right after its index byte was
// written alone: a load the store cannot be forwarded to, which stalled
// every such return.)
//
// Reading the alternative a result does not hold is a broken invariant of
// the caller and panics.
#include <memory>
#include <type_traits>
#include <utility>

#include "support/panic.h"

namespace tavrine {

template <class E>
struct Unexpected {
  E error;
};
template <class E>
Unexpected<E> unexpected(E e) {
  return Unexpected<E>{std::move(e)};
}

template <class T, class E>
class [[nodiscard]] Expected {
  static constexpr bool kTrivialCopy =
      std::is_trivially_copy_constructible_v<T> && std::is_trivially_copy_constructible_v<E>;
  static constexpr bool kTrivialMove =
      std::is_trivially_move_constructible_v<T> && std::is_trivially_move_constructible_v<E>;
  static constexpr bool kCopyable = std::is_copy_constructible_v<T> && std::is_copy_constructible_v<E>;
  static constexpr bool kTrivialDestroy = std::is_trivially_destructible_v<T> && std::is_trivially_destructible_v<E>;

 public:
  Expected(T value) : value_(std::move(value)), ok_(true) {}
  Expected(Unexpected<E> e) : error_(std::move(e.error)), ok_(false) {}

  Expected(const Expected&) requires kTrivialCopy = default;
  Expected(const Expected& other) requires(!kTrivialCopy && kCopyable) : ok_(other.ok_) {
    if (ok_) {
      std::construct_at(&value_, other.value_);
    } else {
      std::construct_at(&error_, other.error_);
    }
  }
  Expected(Expected&&) requires kTrivialMove = default;
  Expected(Expected&& other) noexcept(std::is_nothrow_move_constructible_v<T> &&
                                      std::is_nothrow_move_constructible_v<E>) requires(!kTrivialMove)
      : ok_(other.ok_) {
    if (ok_) {
      std::construct_at(&value_, std::move(other.value_));
    } else {
      std::construct_at(&error_, std::move(other.error_));
    }
  }
  // Results are produced and read, never reassigned.
  Expected& operator=(const Expected&) = delete;
  Expected& operator=(Expected&&) = delete;

  ~Expected() requires kTrivialDestroy = default;
  ~Expected() requires(!kTrivialDestroy) {
    if (ok_) {
      std::destroy_at(&value_);
    } else {
      std::destroy_at(&error_);
    }
  }

  bool has_value() const noexcept { return ok_; }
  explicit operator bool() const noexcept { return ok_; }
  T& value() & { return holds_value(), value_; }
  const T& value() const& { return holds_value(), value_; }
  T&& value() && { return holds_value(), std::move(value_); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  const E& error() const& { return holds_error(), error_; }
  E&& error() && { return holds_error(), std::move(error_); }

 private:
  void holds_value() const { expect(ok_, "a result read as a value holds one"); }
  void holds_error() const { expect(!ok_, "a result read as an error holds one"); }

  union {
    T value_;
    E error_;
  };
  bool ok_;
};

// Success without a value.
struct Ok {};

}  // namespace tavrine
