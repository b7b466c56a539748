// A thread that the interpreter ends at exit while it is inside a call of this module.
//
// At finalization CPython 3.13 ends a daemon thread that asks for the GIL back with pthread_exit,
// which glibc carries out as a forced unwind (abi::__forced_unwind) of the thread's stack. That
// unwind must pass through every frame of ours, and because the thread no longer holds the GIL,
// nothing of the interpreter may be touched on the way: references are leaked (as CPython's own C
// frames leak theirs), no error is set and nothing is allocated through Python.
#pragma once

#include <cxxabi.h>

#include <utility>

namespace vellora::py {

/// Set where a forced unwind is first seen leaving Python code; the thread never runs Python again.
/// Clean-ups read it and leave the interpreter alone. Initial-exec: one load, no TLS call.
extern constinit thread_local bool thread_is_ending __attribute__((tls_model("initial-exec")));

/// Runs `body`, a C API call that can run Python code, and marks the thread as ending should a
/// forced unwind come out of it. Wrap every such call that has clean-ups of ours above it in the
/// same call (owned references, shared access), so they see the mark before they run.
template <class Body>
decltype(auto) may_run_python(Body&& body) {
  try {
    return std::forward<Body>(body)();
  } catch (abi::__forced_unwind&) {
    thread_is_ending = true;
    throw;  // glibc ends the process should the unwind not go on
  }
}

/// Readies the unwinder linked into this module for a forced unwind; called once, at import.
void prepare_for_forced_unwind() noexcept;

}  // namespace vellora::py
