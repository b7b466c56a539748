// The call wrapper: every entry from the interpreter runs its body through one of these.
#pragma once

#include <Python.h>

#include <utility>

#include "pyfacade/errors.hpp"
#include "pyfacade/outcome.hpp"
#include "pyfacade/py_ref.hpp"

namespace vellora::py {

/// Runs a body that makes an object: its new reference, or null with the failure raised.
/// No C++ exception leaves this function.
template <class Body>
PyObject* call_returning_object(Body&& body) noexcept {
  try {
    Outcome<OwnedRef> outcome = std::forward<Body>(body)();
    if (outcome.ok()) [[likely]]
      return std::move(outcome).value().release();
    raise_failure(std::move(outcome).failure());
  } catch (...) {
    raise_current_cpp_exception();
  }
  return nullptr;
}

/// Runs a body for a length slot: the count, or -1 with the failure raised.
template <class Body>
Py_ssize_t call_returning_length(Body&& body) noexcept {
  try {
    Outcome<Py_ssize_t> outcome = std::forward<Body>(body)();
    if (outcome.ok()) [[likely]]
      return outcome.value();
    raise_failure(std::move(outcome).failure());
  } catch (...) {
    raise_current_cpp_exception();
  }
  return -1;
}

/// Runs a release routine. It has no caller to hand an exception to, so a failure is reported
/// through the interpreter's unraisable hook (without the half-released object).
template <class Body>
void call_releasing(Body&& body) noexcept {
  try {
    Outcome<Done> outcome = std::forward<Body>(body)();
    if (outcome.ok()) [[likely]]
      return;
    raise_failure(std::move(outcome).failure());
  } catch (...) {
    raise_current_cpp_exception();
  }
  PyErr_WriteUnraisable(nullptr);
}

}  // namespace vellora::py
