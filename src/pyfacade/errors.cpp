// Failures to Python exceptions: pending errors, internal faults, C++ exceptions, registry errors.
#include "pyfacade/errors.hpp"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "pyfacade/texts.hpp"

namespace vellora::py {
namespace {

std::atomic<PyObject*> panic_type = nullptr;  // created on the first fault, lives until the process ends

/// The source path from its "src/" component on, so reports read the same on every build machine.
std::string_view project_relative(std::string_view path) noexcept {
  const auto at = path.rfind("/src/");
  return at == std::string_view::npos ? path : path.substr(at + 1);
}

/// Writes the fault's source position and message to the process's standard error stream.
void report_fault(std::string_view message, const std::source_location& where) noexcept {
  const std::string_view file = project_relative(where.file_name());
  std::fprintf(stderr, "vellora_core: internal fault at %.*s:%u:%u:\n  %.*s\n", static_cast<int>(file.size()),
               file.data(), static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
               static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
}

}  // namespace

ErrorIsSet fault(std::string_view message, std::source_location where) noexcept {
  report_fault(message, where);
  PyObject* const type = panic_exception_type();
  if (type == nullptr) return {};
  const OwnedRef text =
      OwnedRef::consuming(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return {};
  PyErr_SetObject(type, text.get());
  return {};
}

PyObject* panic_exception_type() noexcept {
  if (PyObject* const published = panic_type.load(std::memory_order_acquire)) return published;
  PyObject* const made = PyErr_NewExceptionWithDoc(texts::kPanicExceptionName, texts::kPanicExceptionDoc,
                                                   PyExc_BaseException, nullptr);
  return made == nullptr ? nullptr : publish_once(panic_type, made);
}

void forget_panic_exception_type() noexcept { panic_type.store(nullptr, std::memory_order_relaxed); }

void raise_failure(ErrorIsSet) noexcept {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, texts::kNoExceptionSet);
}

void raise_current_cpp_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    try {
      fault(std::string("unexpected C++ exception: ") + error.what());
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    }
  } catch (...) {  // the call wrappers have let a forced unwind through before calling this
    fault("unexpected C++ exception of unknown type");
  }
}

ErrorIsSet raise_registry_error(const RegistryError& error) {
  // Laid out in a stack buffer when it fits: a missed lookup is a common, cheap-to-report path.
  char stack[256];
  std::size_t size = 0;
  for (const std::string_view piece : error.message_pieces()) {
    if (size + piece.size() <= sizeof stack) std::memcpy(stack + size, piece.data(), piece.size());
    size += piece.size();
  }
  const std::string heap = size <= sizeof stack ? std::string() : error.message();
  const char* const text = size <= sizeof stack ? stack : heap.data();
  const OwnedRef message = OwnedRef::consuming(PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(size)));
  if (message) PyErr_SetObject(PyExc_KeyError, message.get());
  return {};
}

ErrorIsSet raise_conversion_error(PyObject* value, const char* target) noexcept {
  const OwnedRef type_name = OwnedRef::consuming(PyType_GetQualName(Py_TYPE(value)));
  if (type_name) PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(), target);
  return {};
}

ErrorIsSet result_creation_failed(std::source_location where) {
  if (PyErr_Occurred()) may_run_python([] { PyErr_PrintEx(0); });  // sys.excepthook, sys.stderr
  return fault(texts::kPythonApiCallFailed, where);
}

}  // namespace vellora::py
