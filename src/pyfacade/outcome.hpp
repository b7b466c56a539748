// How a call body ends: a value, a Python error already set, or an internal fault.
#pragma once

#include <source_location>
#include <string>
#include <utility>
#include <variant>

namespace vellora::py {

/// The interpreter's error indicator holds the failure (set by a C API call or by `raise_*`).
struct ErrorIsSet {};

/// A broken invariant: becomes PanicException with `message`, reported with its source position.
struct InternalFault {
  std::string message;
  std::source_location where;
};

/// Builds a fault at the caller's source position.
inline InternalFault fault(std::string message,
                           std::source_location where = std::source_location::current()) {
  return InternalFault{std::move(message), where};
}

/// Any way a body can fail; converts into an Outcome of every value type.
class Failure {
 public:
  Failure(ErrorIsSet) noexcept : state_(ErrorIsSet{}) {}
  Failure(InternalFault internal) noexcept : state_(std::move(internal)) {}

  bool is_fault() const noexcept { return state_.index() == 1; }
  InternalFault& internal_fault() noexcept { return std::get<1>(state_); }

 private:
  std::variant<ErrorIsSet, InternalFault> state_;
};

/// A value of type T or a Failure.
template <class T>
class [[nodiscard]] Outcome {
 public:
  Outcome(T value) noexcept(std::is_nothrow_move_constructible_v<T>)
      : state_(std::in_place_index<0>, std::move(value)) {}
  Outcome(Failure failure) noexcept : state_(std::in_place_index<1>, std::move(failure)) {}
  Outcome(ErrorIsSet) noexcept : Outcome(Failure(ErrorIsSet{})) {}
  Outcome(InternalFault internal) noexcept : Outcome(Failure(std::move(internal))) {}

  bool ok() const noexcept { return state_.index() == 0; }
  T& value() & noexcept { return *std::get_if<0>(&state_); }
  T&& value() && noexcept { return std::move(*std::get_if<0>(&state_)); }
  /// The failure, for handing on to the caller's own Outcome.
  Failure&& failure() && noexcept { return std::move(*std::get_if<1>(&state_)); }

 private:
  std::variant<T, Failure> state_;
};

/// The value of an operation that yields nothing but success or failure.
struct Done {};

}  // namespace vellora::py
