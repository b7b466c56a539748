// A value or an error value: how core operations report failure without throwing.
#pragma once

#include <cstddef>
#include <utility>
#include <variant>

namespace vellora {

/// Holds either a `T` or an `E`; a small stand-in for C++23's std::expected.
template <class T, class E>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  /// The error, built in place from `make()`: a miss may be a hot path, so no extra moves.
  template <class Make>
  static Expected failure_from(Make&& make) {
    return Expected(std::in_place_index<1>, std::forward<Make>(make)());
  }

  bool has_value() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & { return std::get<1>(state_); }
  const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }

 private:
  template <std::size_t Index, class Value>
  Expected(std::in_place_index_t<Index> index, Value&& value) : state_(index, std::forward<Value>(value)) {}

  std::variant<T, E> state_;
};

}  // namespace vellora
