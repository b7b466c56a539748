// Owned and borrowed references to Python objects as types.
//
// Ownership rules: a function that returns a new reference returns OwnedRef; parameters that are only
// looked at are BorrowedRef (or a plain PyObject* from the interpreter, which the caller keeps alive);
// handing a reference back to the interpreter goes through OwnedRef::release().
#pragma once

#include <Python.h>

#include <utility>

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
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    OwnedRef(std::move(other)).swap(*this);
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { Py_XDECREF(object_); }

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

/// A reference someone else keeps alive for as long as we look at it.
class BorrowedRef {
 public:
  constexpr BorrowedRef() noexcept = default;
  constexpr explicit BorrowedRef(PyObject* object) noexcept : object_(object) {}
  explicit operator bool() const noexcept { return object_ != nullptr; }
  PyObject* get() const noexcept { return object_; }
  OwnedRef to_owned() const noexcept { return OwnedRef::owning(object_); }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace vellora::py
