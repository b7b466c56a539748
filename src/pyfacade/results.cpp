// Result objects handed back to Python; a failure to make one is an internal fault.
#include "pyfacade/results.hpp"

#include <Python.h>

#include "pyfacade/errors.hpp"

namespace vellora::py {
namespace {

PyObject* make_str(std::string_view text) noexcept {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

template <class Text>
Outcome<OwnedRef> make_list(std::span<const Text> texts) {
  OwnedRef list = OwnedRef::consuming(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) [[unlikely]]
    return result_creation_failed();
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyObject* const item = make_str(texts[i]);
    if (item == nullptr) [[unlikely]]
      return result_creation_failed();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals the item
  }
  return list;
}

}  // namespace

Outcome<OwnedRef> new_float(double value) {
  OwnedRef result = OwnedRef::consuming(PyFloat_FromDouble(value));
  if (!result) [[unlikely]]
    return result_creation_failed();
  return result;
}

Outcome<OwnedRef> new_text(std::string_view text) {
  OwnedRef result = OwnedRef::consuming(make_str(text));
  if (!result) [[unlikely]]
    return result_creation_failed();
  return result;
}

Outcome<OwnedRef> new_text_list(std::span<const std::string> texts) { return make_list(texts); }
Outcome<OwnedRef> new_text_list(std::span<const std::string_view> texts) { return make_list(texts); }

}  // namespace vellora::py
