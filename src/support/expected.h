#pragma once
// A minimal value-or-error type: the core returns errors as values and only
// the Python surface turns them into exceptions.
#include <utility>
#include <variant>

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
 public:
  Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Expected(Unexpected<E> e) : v_(std::in_place_index<1>, std::move(e.error)) {}

  bool has_value() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

// Success without a value.
struct Ok {};

}  // namespace tavrine
