// How a call body ends: a value, or a failure already raised in the interpreter.
#pragma once

#include <memory>
#include <source_location>
#include <string_view>
#include <type_traits>
#include <utility>

namespace vellora::py {

/// The interpreter's error indicator holds the failure: set by a C API call, by a `raise_*`
/// helper, or by `fault`.
struct ErrorIsSet {};

/// A broken invariant: reports `message` with the caller's source position on standard error and
/// raises it as PanicException, at once, so that a failure is never carried as a value of its
/// own. Returns ErrorIsSet for the body to hand on.
ErrorIsSet fault(std::string_view message, std::source_location where = std::source_location::current()) noexcept;

/// A value of type T, or nothing when the body failed (the error indicator then says why).
/// Holding no failure state, it costs a value and a flag to carry and nothing to drop.
template <class T>
class [[nodiscard]] Outcome {
 public:
  Outcome(T value) noexcept(std::is_nothrow_move_constructible_v<T>) : value_(std::move(value)), ok_(true) {}
  Outcome(ErrorIsSet) noexcept : ok_(false) {}
  Outcome(Outcome&& other) noexcept(std::is_nothrow_move_constructible_v<T>) : ok_(other.ok_) {
    if (ok_) std::construct_at(&value_, std::move(other.value_));
  }
  Outcome& operator=(Outcome&&) = delete;
  // Its own storage rather than std::optional, whose reset is noexcept: dropping an owned
  // reference can run Python code, and a thread ended there must unwind through (thread_exit.hpp).
  ~Outcome() noexcept(std::is_nothrow_destructible_v<T>) {
    if (ok_) value_.~T();
  }

  bool ok() const noexcept { return ok_; }
  T& value() & noexcept { return value_; }
  T&& value() && noexcept { return std::move(value_); }
  /// The failure, for handing on to the caller's own Outcome.
  ErrorIsSet failure() && noexcept { return {}; }

 private:
  union {
    T value_;
  };
  bool ok_;
};

/// The value of an operation that yields nothing but success or failure.
struct Done {};

}  // namespace vellora::py
