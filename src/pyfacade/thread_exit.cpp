// The mark of a thread being ended at exit, and the unwinder made ready for it.
#include <Python.h>

#include "pyfacade/thread_exit.hpp"

#include <unwind.h>

namespace vellora::py {

std::atomic<bool> forced_unwind_seen{false};

namespace {
// Set on a thread once a forced unwind passes through our frames, when the thread is already past
// saving: it is read only after forced_unwind_seen, off the hot paths.
thread_local bool unwinding = false;
}  // namespace

void note_forced_unwind() noexcept {
  if constexpr (cpython::kThreadsEndByUnwinding) {
    unwinding = true;
    forced_unwind_seen.store(true, std::memory_order_relaxed);
  }
}

bool this_thread_is_unwinding() noexcept { return unwinding; }

void prepare_for_forced_unwind() noexcept {
  // pthread_exit unwinds with the system's libgcc_s, but our frames' personality routine calls the
  // unwinder linked into this module (static libgcc), and its _Unwind_SetGR aborts until that copy
  // has filled its register-size table, which it does on its own first unwind. One step of a
  // backtrace, stopped at once, fills it. (ARM's own unwinder keeps no such table.)
#ifndef __ARM_EABI_UNWINDER__
  _Unwind_Backtrace([](_Unwind_Context*, void*) { return _URC_NORMAL_STOP; }, nullptr);
#endif
}

}  // namespace vellora::py
