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
  /// The value, built in place from `make()`: no move of it, which for a record of texts would
  /// copy every short text once more.
  template <class Make>
  static Expected success_from(Make&& make) {
    return Expected(std::in_place_index<0>, Built<T, Make>{std::forward<Make>(make)});
  }
  /// The error, built in place from `make()`: a miss may be a hot path, so no extra moves.
  template <class Make>
  static Expected failure_from(Make&& make) {
    return Expected(std::in_place_index<1>, Built<E, Make>{std::forward<Make>(make)});
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
  /// Converts to the result of `make()`: the variant constructs its alternative from it, and the
  /// result object is then the alternative itself (copy elision), not a temporary moved in.
  template <class Value, class Make>
  struct Built {
    Make&& make;
    operator Value() && { return std::forward<Make>(make)(); }
  };

  template <std::size_t Index, class Value>
  Expected(std::in_place_index_t<Index> index, Value&& value) : state_(index, std::forward<Value>(value)) {}

  std::variant<T, E> state_;
};

}  // namespace vellora
