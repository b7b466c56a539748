// Every place the extension leaves the Limited API, in one place: reliances on CPython layouts and
// rules that no API promises, and the faster calls and macros outside the Limited API.
//
// Each fast path below is taken only on the CPython versions it was checked against, default and
// free-threaded builds alike. Every other build uses the Limited API of 3.13 (Py_LIMITED_API, set
// by the CMake option VELLORA_LIMITED_API, which a newer CPython turns on by default) and compiles
// the Limited-API form. To admit a new version, re-check each rule here against its headers and
// sources, then widen the range.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#if defined(Py_LIMITED_API)
#if defined(Py_GIL_DISABLED)
#error "a free-threaded CPython has no Limited API of 3.13 (abi3): build without VELLORA_LIMITED_API"
#endif
#define VELLORA_CPYTHON_FAST_PATHS 0
#elif PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x03100000
#define VELLORA_CPYTHON_FAST_PATHS 1  // 3.13, 3.14 and 3.15
#else
#error "the CPython fast paths are checked on 3.13 to 3.15 only: build with -DVELLORA_LIMITED_API=ON"
#endif

namespace vellora::py::cpython {

#if VELLORA_CPYTHON_FAST_PATHS
/// The API version the module is created with. The interface fixes 1013, which PyModule_Create
/// would pass on these CPythons too; should a CPython change the value, the build stops here so
/// that the choice is made again, not inherited silently.
inline constexpr int kModuleApiVersion = 1013;
static_assert(PYTHON_API_VERSION == kModuleApiVersion,
              "this CPython's PYTHON_API_VERSION is no longer 1013, the version corvantis._vellora_core "
              "is created with: check what the new version means before changing either");
#else
/// What PyModule_Create passes under the Limited API: the stable ABI's version.
inline constexpr int kModuleApiVersion = PYTHON_ABI_VERSION;
#endif

/// CPython 3.13 ends a daemon thread that asks for the interpreter back at exit with pthread_exit,
/// which unwinds through our frames (thread_exit.hpp); 3.14 and later park such a thread instead.
/// A Limited-API build may load on 3.13, so it keeps the check.
#if defined(Py_LIMITED_API) || PY_VERSION_HEX < 0x030E0000
inline constexpr bool kThreadsEndByUnwinding = true;
#else
inline constexpr bool kThreadsEndByUnwinding = false;
#endif

/// A new str of `text`, ASCII of two or more characters, its text written by `copy(to, text)`.
/// Fast: a str made by PyUnicode_New(size, 127) is compact ASCII, its text straight after the
/// PyASCIIObject header (what PyUnicode_DATA computes, checked on 3.13-3.15). Asking the object
/// reads back the kind bits PyUnicode_New has just written, a read that stalls: nearly half of
/// making a short name. The Limited API has no PyUnicode_New: the UTF-8 decoder makes it.
inline constexpr bool kWritesStrText = VELLORA_CPYTHON_FAST_PATHS;
template <class Copy>
PyObject* new_ascii_str(std::string_view text, Copy copy) noexcept {
#if VELLORA_CPYTHON_FAST_PATHS
  PyObject* const result = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
  if (result != nullptr) copy(reinterpret_cast<char*>(reinterpret_cast<PyASCIIObject*>(result) + 1), text);
  return result;
#else
  static_cast<void>(copy);
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
#endif
}

/// A new, uninitialised instance of `type` (its header set, the rest left to the caller), or null
/// with MemoryError set. Fast, for a type allocated by PyType_GenericAlloc with nothing before the
/// object header (no GC link, managed dict or weak reference list) and no items: that function
/// then only zeroes the memory the caller is about to fill, as its sources on 3.13-3.15 show
/// (one PyObject_Malloc, also on the free-threaded builds' object heap), and PyObject_Init
/// answers a null with MemoryError. Anything else goes through tp_alloc, which zeroes.
inline PyObject* allocate_instance(PyTypeObject* type) noexcept {
#if VELLORA_CPYTHON_FAST_PATHS
  constexpr unsigned long kBeforeHeader = Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF |
                                          Py_TPFLAGS_INLINE_VALUES;
  if (type->tp_alloc == PyType_GenericAlloc && (type->tp_flags & kBeforeHeader) == 0 && type->tp_itemsize == 0)
      [[likely]]
    return PyObject_Init(static_cast<PyObject*>(PyObject_Malloc(static_cast<std::size_t>(type->tp_basicsize))), type);
  return type->tp_alloc(type, 0);
#else
  return reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0);
#endif
}

/// Frees an instance's memory through its type's tp_free.
inline void free_instance(PyObject* object) noexcept {
#if VELLORA_CPYTHON_FAST_PATHS
  Py_TYPE(object)->tp_free(object);
#else
  reinterpret_cast<freefunc>(PyType_GetSlot(Py_TYPE(object), Py_tp_free))(object);
#endif
}

// Tuples, floats and lists whose type the caller has checked: read and written directly, outside
// the Limited API; through the checked calls, which cannot fail on them, within it.

inline Py_ssize_t tuple_size(PyObject* tuple) noexcept {
#if VELLORA_CPYTHON_FAST_PATHS
  return PyTuple_GET_SIZE(tuple);
#else
  return PyTuple_Size(tuple);
#endif
}

/// Item `index` of `tuple`, borrowed; `index` is in range.
inline PyObject* tuple_item(PyObject* tuple, Py_ssize_t index) noexcept {
#if VELLORA_CPYTHON_FAST_PATHS
  return PyTuple_GET_ITEM(tuple, index);
#else
  return PyTuple_GetItem(tuple, index);
#endif
}

/// The value of an exact float.
inline double float_value(PyObject* value) noexcept {
#if VELLORA_CPYTHON_FAST_PATHS
  return PyFloat_AS_DOUBLE(value);
#else
  return PyFloat_AsDouble(value);
#endif
}

/// Fills slot `index` of a new list with `item`, whose reference the list takes.
inline void fill_list_slot(PyObject* list, Py_ssize_t index, PyObject* item) noexcept {
#if VELLORA_CPYTHON_FAST_PATHS
  PyList_SET_ITEM(list, index, item);
#else
  static_cast<void>(PyList_SetItem(list, index, item));
#endif
}

}  // namespace vellora::py::cpython

/// Holds the lock of `object` (a dict a C caller may hand in while other threads change it) for a
/// block: a critical section on free-threaded builds, nothing where the GIL serialises. A
/// Limited-API build always has the GIL.
#if VELLORA_CPYTHON_FAST_PATHS
#define VELLORA_BEGIN_CRITICAL_SECTION(object) Py_BEGIN_CRITICAL_SECTION(object)
#define VELLORA_END_CRITICAL_SECTION() Py_END_CRITICAL_SECTION()
#else
#define VELLORA_BEGIN_CRITICAL_SECTION(object) {
#define VELLORA_END_CRITICAL_SECTION() }
#endif
