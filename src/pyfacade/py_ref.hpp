// Owned references to Python objects as a type.
//
// Ownership rules: a function that returns a new reference returns OwnedRef; parameters that are only
// looked at are plain PyObject* (borrowed: the caller keeps them alive for the call); handing a
// reference back to the interpreter goes through OwnedRef::release().
#pragma once

#include <Python.h>

#include <atomic>
#include <utility>

#include "pyfacade/thread_exit.hpp"

namespace vellora::py {

/// A reference we hold and must give back: released by the destructor, moved but never copied
/// implicitly. Made only through the named constructors, so every INCREF is visible.
class [[nodiscard]] OwnedRef {
 public:
  OwnedRef() noexcept = default;
  /// Takes over a new reference (the result of a C API call that returns one); null stays null.
  static OwnedRef consuming(PyObject* object) noexcept { return OwnedRef(object); }
  /// Adds a reference of our own to an object someone else keeps alive.
  static OwnedRef owning(PyObject* object) noexcept { return OwnedRef(Py_XNewRef(object)); }

  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  // Not noexcept: dropping the old object can run Python code (a __del__).
  OwnedRef& operator=(OwnedRef&& other) {
    OwnedRef(std::move(other)).swap(*this);
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  /// Not noexcept: the release can run Python code (a __del__) and the thread can be ended there.
  /// A thread that is being ended no longer holds the GIL, so its references are leaked.
  ~OwnedRef() noexcept(false) {
    if (object_ != nullptr && !thread_is_ending()) may_run_python([this] { Py_DECREF(object_); });
  }

  explicit operator bool() const noexcept { return object_ != nullptr; }
  /// The object, still owned by this reference.
  PyObject* get() const noexcept { return object_; }
  /// Hands the reference to the caller, which now owns it.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void swap(OwnedRef& other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

/// Publishes `made`, a new reference, in a process-wide cell that is set once, unless another thread
/// got there first; returns what the cell holds. Without a GIL two threads may each make the value:
/// the loser's is released before anything saw it.
template <class T>
T* publish_once(std::atomic<T*>& cell, T* made) noexcept {
  T* published = nullptr;
  if (cell.compare_exchange_strong(published, made, std::memory_order_acq_rel, std::memory_order_acquire)) return made;
  Py_DECREF(made);
  return published;
}

}  // namespace vellora::py
