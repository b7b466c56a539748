// Type cells and the cold failures of the class machinery.
#include "pyfacade/instance.hpp"

#include <string>

#include "pyfacade/errors.hpp"
#include "pyfacade/texts.hpp"

namespace vellora::py {

PyTypeObject* TypeCell::get_or_create() noexcept {
  if (PyTypeObject* const published = type.load(std::memory_order_acquire)) return published;
  auto* const made = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
  return made == nullptr ? nullptr : publish_once(type, made);
}

ErrorIsSet type_creation_failed(TypeCell& cell, std::source_location where) {
  if (PyErr_Occurred()) may_run_python([] { PyErr_PrintEx(0); });  // sys.excepthook, sys.stderr
  return fault(std::string(texts::kTypeCreationFailedPrefix) + cell.class_name, where);
}

ErrorIsSet refuse_shared_access(bool constructed, const char* class_name) noexcept {
  if (!constructed)
    PyErr_Format(PyExc_TypeError, texts::kNotConstructedFormat, class_name);
  else
    PyErr_SetString(PyExc_RuntimeError, texts::kAlreadyMutablyBorrowed);
  return {};
}

}  // namespace vellora::py
