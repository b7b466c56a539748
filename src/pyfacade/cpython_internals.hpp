// Every reliance on a CPython layout or rule that the public C API does not promise, in one place.
//
// Each fast path below is taken only on the CPython versions it was checked against, default and
// free-threaded builds alike; any other version, and a build with VELLORA_PUBLIC_API_ONLY defined
// (the CMake option of that name), compiles the public-API form instead. To admit a new version,
// re-check each rule here against its headers and sources, then widen the range.
#pragma once

#include <Python.h>

#include <cstddef>

#if !defined(VELLORA_PUBLIC_API_ONLY) && PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x03100000
#define VELLORA_CPYTHON_FAST_PATHS 1  // 3.13, 3.14 and 3.15
#else
#define VELLORA_CPYTHON_FAST_PATHS 0
#endif

namespace vellora::py::cpython {

/// The API version the module is created with. The interface fixes 1013, which PyModule_Create
/// would pass on these CPythons too; should a CPython change the value, the build stops here so
/// that the choice is made again, not inherited silently.
inline constexpr int kModuleApiVersion = 1013;
static_assert(PYTHON_API_VERSION == kModuleApiVersion,
              "this CPython's PYTHON_API_VERSION is no longer 1013, the version corvantis._vellora_core "
              "is created with: check what the new version means before changing either");

/// Where the text of `text`, a str just made by PyUnicode_New(size, 127), is written.
/// Fast: such a str is compact ASCII, its text straight after the PyASCIIObject header (what
/// PyUnicode_DATA computes, checked on 3.13-3.15). Asking the object reads back the kind bits
/// PyUnicode_New has just written, a read that stalls: nearly half of making a short name.
inline char* new_ascii_text(PyObject* text) noexcept {
#if VELLORA_CPYTHON_FAST_PATHS
  return reinterpret_cast<char*>(reinterpret_cast<PyASCIIObject*>(text) + 1);
#else
  return reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text));
#endif
}

/// A new, uninitialised instance of `type` (its header set, the rest left to the caller), or null
/// with MemoryError set. Fast, for a type allocated by PyType_GenericAlloc with nothing before the
/// object header (no GC link, managed dict or weak reference list) and no items: that function
/// then only zeroes the memory the caller is about to fill, as its sources on 3.13-3.15 show
/// (one PyObject_Malloc, also on the free-threaded builds' object heap), and PyObject_Init
/// answers a null with MemoryError. Anything else, or any other version, goes through tp_alloc,
/// which zeroes.
inline PyObject* allocate_instance(PyTypeObject* type) noexcept {
#if VELLORA_CPYTHON_FAST_PATHS
  constexpr unsigned long kBeforeHeader = Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF |
                                          Py_TPFLAGS_INLINE_VALUES;
  if (type->tp_alloc == PyType_GenericAlloc && (type->tp_flags & kBeforeHeader) == 0 && type->tp_itemsize == 0)
      [[likely]]
    return PyObject_Init(static_cast<PyObject*>(PyObject_Malloc(static_cast<std::size_t>(type->tp_basicsize))), type);
#endif
  return type->tp_alloc(type, 0);
}

}  // namespace vellora::py::cpython
