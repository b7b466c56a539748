// The call wrapper: every entry from the interpreter runs its body through one of these.
//
// None is noexcept and none lets `catch (...)` see a forced unwind: a body can run Python code
// (json, an argument's __float__, a warning, a hook), and a thread that the interpreter ends there
// at exit must unwind through (thread_exit.hpp). Every other C++ exception stops here (every
// std::exception where libc++abi runs on glibc, whose catch (...) cannot let a forced unwind on).
#pragma once

#include <Python.h>

#include <exception>
#include <utility>

#include "pyfacade/errors.hpp"
#include "pyfacade/outcome.hpp"
#include "pyfacade/py_ref.hpp"
#include "pyfacade/thread_exit.hpp"

namespace vellora::py {

/// What the interpreter is handed for a body's value.
inline PyObject* handed_back(OwnedRef&& object) noexcept { return object.release(); }
inline Py_ssize_t handed_back(Py_ssize_t count) noexcept { return count; }
inline bool handed_back(Done) noexcept { return true; }

/// Runs a body (returning an Outcome): its value in the form the interpreter takes it, or `failed`
/// with the failure raised.
template <class Body, class Result>
Result run_body(Body&& body, Result failed) {
  try {
    auto outcome = std::forward<Body>(body)();
    if (outcome.ok()) [[likely]]
      return handed_back(std::move(outcome).value());
    raise_failure(std::move(outcome).failure());
  } catch (ForcedUnwind&) {
    note_forced_unwind();
    throw;
#if VELLORA_CATCH_ALL_TAKES_FORCED_UNWIND
  } catch (const std::exception&) {
#else
  } catch (...) {
#endif
    raise_current_cpp_exception();
  }
  return failed;
}

/// Runs a body that makes an object: its new reference, or null with the failure raised.
template <class Body>
PyObject* call_returning_object(Body&& body) {
  return run_body(std::forward<Body>(body), static_cast<PyObject*>(nullptr));
}

/// Runs a body for a length slot: the count, or -1 with the failure raised.
template <class Body>
Py_ssize_t call_returning_length(Body&& body) {
  return run_body(std::forward<Body>(body), Py_ssize_t{-1});
}

/// Runs a release routine. It has no caller to hand an exception to, so a failure is reported
/// through the interpreter's unraisable hook (without the half-released object).
template <class Body>
void call_releasing(Body&& body) {
  if (!run_body(std::forward<Body>(body), false)) may_run_python([] { PyErr_WriteUnraisable(nullptr); });
}

}  // namespace vellora::py
