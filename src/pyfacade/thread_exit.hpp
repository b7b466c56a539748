// A thread that the interpreter ends at exit while it is inside a call of this module.
//
// At finalization CPython 3.13 ends a daemon thread that asks for the GIL back with pthread_exit,
// which glibc carries out as a forced unwind (abi::__forced_unwind) of the thread's stack. That
// unwind must pass through every frame of ours, and because the thread no longer holds the GIL,
// nothing of the interpreter may be touched on the way: references are leaked (as CPython's own C
// frames leak theirs), no error is set and nothing is allocated through Python. Later CPythons park
// such a thread instead: where the build cannot meet 3.13 (cpython_internals.hpp), nothing is
// checked. A forced unwind is let through every catch clause on every build all the same.
#pragma once

#include <cxxabi.h>

#include <atomic>
#include <exception>
#include <type_traits>
#include <utility>

#include "pyfacade/cpython_internals.hpp"

namespace vellora::py {

#if defined(__GLIBCXX__)
/// What a thread ended by pthread_exit unwinds with, to be let through every catch clause.
using ForcedUnwind = abi::__forced_unwind;
#else
/// libc++ has no such type. With it on musl, pthread_exit does not unwind at all, so there is
/// nothing to let through; on glibc, see VELLORA_CATCH_ALL_TAKES_FORCED_UNWIND. A type nothing
/// throws keeps the catch clauses written once.
struct ForcedUnwind {
  ForcedUnwind() = delete;
};
#endif

/// libc++abi on glibc hands a forced unwind, as any exception C++ did not throw, to each catch (...)
/// it passes, and a `throw;` there raises it anew, to find no handler above and end in
/// std::terminate. Where this is 1 no catch (...) stands in its way: the call wrappers catch
/// std::exception (what the C++ library throws; the code throws nothing of its own), and
/// may_run_python sees the unwind go by from a destructor.
#if defined(__GLIBC__) && !defined(__GLIBCXX__)
#define VELLORA_CATCH_ALL_TAKES_FORCED_UNWIND 1
#else
#define VELLORA_CATCH_ALL_TAKES_FORCED_UNWIND 0
#endif

/// Set for good once a forced unwind has been seen leaving Python code, on any thread.
extern std::atomic<bool> forced_unwind_seen;

/// Marks that a forced unwind is passing on the calling thread. Call from its catch clause, before
/// rethrowing it.
[[gnu::cold]] void note_forced_unwind() noexcept;

/// A forced unwind has passed on the calling thread. Out of line: the hot paths only test the flag.
[[gnu::cold, gnu::noinline]] bool this_thread_is_unwinding() noexcept;

/// True on a thread that is being ended, whose owned references are leaked. A plain load unless a
/// forced unwind has ever been seen, so the hot paths pay next to nothing, and nothing where the
/// interpreter ends no thread so.
inline bool thread_is_ending() noexcept {
  if constexpr (cpython::kThreadsEndByUnwinding)
    return forced_unwind_seen.load(std::memory_order_relaxed) && this_thread_is_unwinding();
  else
    return false;
}

#if VELLORA_CATCH_ALL_TAKES_FORCED_UNWIND
/// Notes a forced unwind that leaves the scope it stands in before returned() is called. A C++
/// exception leaving it is told apart by the count of those in flight, which a forced unwind, not
/// thrown by C++, leaves as it was.
class ForcedUnwindWatch {
 public:
  ForcedUnwindWatch() noexcept = default;
  ForcedUnwindWatch(const ForcedUnwindWatch&) = delete;
  ForcedUnwindWatch& operator=(const ForcedUnwindWatch&) = delete;
  ~ForcedUnwindWatch() {
    if (!returned_ && std::uncaught_exceptions() == in_flight_) note_forced_unwind();
  }
  void returned() noexcept { returned_ = true; }

 private:
  int in_flight_ = std::uncaught_exceptions();
  bool returned_ = false;
};
#endif

/// Runs `body`, a C API call that can run Python code, noting a forced unwind that comes out of
/// it. Wrap every such call that has owned references above it in the same call body, so that
/// they know before they are dropped.
template <class Body>
decltype(auto) may_run_python(Body&& body) {
  if constexpr (!cpython::kThreadsEndByUnwinding) {
    return std::forward<Body>(body)();
  } else {
#if VELLORA_CATCH_ALL_TAKES_FORCED_UNWIND
    ForcedUnwindWatch watch;
    if constexpr (std::is_void_v<std::invoke_result_t<Body>>) {
      std::forward<Body>(body)();
      watch.returned();
    } else {
      decltype(auto) result = std::forward<Body>(body)();
      watch.returned();
      return result;
    }
#else
    try {
      return std::forward<Body>(body)();
    } catch (ForcedUnwind&) {
      note_forced_unwind();
      throw;  // glibc ends the process should the unwind not go on
    }
#endif
  }
}

/// Readies the unwinder linked into this module for a forced unwind; called once, at import.
void prepare_for_forced_unwind() noexcept;

}  // namespace vellora::py
