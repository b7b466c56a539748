// The call wrapper: every entry from the interpreter runs its body through one of these.
//
// None is noexcept and none lets `catch (...)` see a forced unwind: a body can run Python code
// (json, an argument's __float__, a warning, a hook), and a thread that the interpreter ends there
// at exit must unwind through (thread_exit.hpp). Every other C++ exception stops here.
#pragma once

#include <Python.h>

#include <utility>

#include "pyfacade/errors.hpp"
#include "pyfacade/outcome.hpp"
#include "pyfacade/py_ref.hpp"
#include "pyfacade/thread_exit.hpp"

namespace vellora::py {

/// Runs a body that makes an object: its new reference, or null with the failure raised.
template <class Body>
PyObject* call_returning_object(Body&& body) {
  try {
    Outcome<OwnedRef> outcome = std::forward<Body>(body)();
    if (outcome.ok()) [[likely]]
      return std::move(outcome).value().release();
    raise_failure(std::move(outcome).failure());
  } catch (abi::__forced_unwind&) {
    note_forced_unwind();
    throw;
  } catch (...) {
    raise_current_cpp_exception();
  }
  return nullptr;
}

/// Runs a body for a length slot: the count, or -1 with the failure raised.
template <class Body>
Py_ssize_t call_returning_length(Body&& body) {
  try {
    Outcome<Py_ssize_t> outcome = std::forward<Body>(body)();
    if (outcome.ok()) [[likely]]
      return outcome.value();
    raise_failure(std::move(outcome).failure());
  } catch (abi::__forced_unwind&) {
    note_forced_unwind();
    throw;
  } catch (...) {
    raise_current_cpp_exception();
  }
  return -1;
}

/// Runs a release routine. It has no caller to hand an exception to, so a failure is reported
/// through the interpreter's unraisable hook (without the half-released object).
template <class Body>
void call_releasing(Body&& body) {
  try {
    Outcome<Done> outcome = std::forward<Body>(body)();
    if (outcome.ok()) [[likely]]
      return;
    raise_failure(std::move(outcome).failure());
  } catch (abi::__forced_unwind&) {
    note_forced_unwind();
    throw;
  } catch (...) {
    raise_current_cpp_exception();
  }
  may_run_python([] { PyErr_WriteUnraisable(nullptr); });
}

}  // namespace vellora::py
