// Argument binding with the caller-facing messages, and argument conversions.
#include "pyfacade/arguments.hpp"

#include <string>

#include "pyfacade/errors.hpp"
#include "pyfacade/py_ref.hpp"
#include "pyfacade/texts.hpp"

namespace vellora::py {
namespace {

std::string full_name(const Signature& signature) {
  std::string name;
  if (signature.class_name != nullptr) name.append(signature.class_name).append(".");
  name.append(signature.function_name).append("()");
  return name;
}

// Each message is built out of line: only failing calls pay for it.
[[gnu::cold]] bool too_many_positional(const Signature& signature, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", full_name(signature).c_str(),
               signature.parameters.size(), given, given == 1 ? "was" : "were");
  return false;
}

[[gnu::cold]] bool multiple_values(const Signature& signature, const char* parameter) {
  PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", full_name(signature).c_str(), parameter);
  return false;
}

[[gnu::cold]] bool unexpected_keyword(const Signature& signature, PyObject* keyword) {
  // Keyword names are str in every call the interpreter makes; a C caller might pass anything.
  PyErr_Format(PyExc_TypeError, PyUnicode_Check(keyword) ? "%s got an unexpected keyword argument '%U'"
                                                         : "%s got an unexpected keyword argument '%S'",
               full_name(signature).c_str(), keyword);
  return false;
}

[[gnu::cold]] bool missing_required(const Signature& signature, PyObject* const* bound) {
  std::string names;
  std::size_t missing = 0;
  std::size_t total_missing = 0;
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) total_missing += bound[i] == nullptr;
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (bound[i] != nullptr) continue;
    ++missing;
    if (missing > 1) {
      if (total_missing == 2)
        names.append(" and ");
      else
        names.append(missing == total_missing ? ", and " : ", ");
    }
    names.append("'").append(signature.parameters[i]).append("'");
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", full_name(signature).c_str(), total_missing,
               total_missing == 1 ? "argument" : "arguments", names.c_str());
  return false;
}

/// The parameter index whose name equals `keyword`, or -1.
Py_ssize_t parameter_index(const Signature& signature, PyObject* keyword) {
  for (std::size_t i = 0; i < signature.interned_parameters.size(); ++i)
    if (keyword == signature.interned_parameters[i]) return static_cast<Py_ssize_t>(i);
  if (!PyUnicode_Check(keyword)) return -1;
  Py_ssize_t size = 0;
  const char* const text = PyUnicode_AsUTF8AndSize(keyword, &size);
  if (text == nullptr) {
    PyErr_Clear();  // a name with no UTF-8 form matches no parameter
    return -1;
  }
  const std::string_view wanted(text, static_cast<std::size_t>(size));
  for (std::size_t i = 0; i < signature.parameters.size(); ++i)
    if (wanted == signature.parameters[i]) return static_cast<Py_ssize_t>(i);
  return -1;
}

/// One keyword argument: bound to its parameter, or the matching error.
bool bind_keyword(const Signature& signature, PyObject* keyword, PyObject* value, PyObject** bound) {
  const Py_ssize_t index = parameter_index(signature, keyword);
  if (index < 0) return unexpected_keyword(signature, keyword);
  if (bound[index] != nullptr) return multiple_values(signature, signature.parameters[static_cast<std::size_t>(index)]);
  bound[index] = value;
  return true;
}

/// Binds `count` positional arguments, `item(i)` giving the i-th.
template <class Item>
bool bind_positional(const Signature& signature, Py_ssize_t count, Item item, PyObject** bound) {
  if (static_cast<std::size_t>(count) > signature.parameters.size()) return too_many_positional(signature, count);
  for (Py_ssize_t i = 0; i < count; ++i) bound[i] = item(i);
  return true;
}

bool check_required(const Signature& signature, PyObject* const* bound) {
  for (std::size_t i = 0; i < signature.parameters.size(); ++i)
    if (bound[i] == nullptr) return missing_required(signature, bound);
  return true;
}

}  // namespace

bool bind_fastcall_slow(const Signature& signature, PyObject* const* args, Py_ssize_t positional_count,
                        PyObject* keyword_names, PyObject** bound) {
  if (!bind_positional(signature, positional_count, [args](Py_ssize_t i) { return args[i]; }, bound)) return false;
  const Py_ssize_t keyword_count = keyword_names == nullptr ? 0 : cpython::tuple_size(keyword_names);
  for (Py_ssize_t i = 0; i < keyword_count; ++i)
    if (!bind_keyword(signature, cpython::tuple_item(keyword_names, i), args[positional_count + i], bound))
      return false;
  return check_required(signature, bound);
}

bool bind_tuple_and_dict(const Signature& signature, PyObject* positional, PyObject* keywords, PyObject** bound) {
  const auto item = [positional](Py_ssize_t i) { return cpython::tuple_item(positional, i); };
  if (!bind_positional(signature, cpython::tuple_size(positional), item, bound)) return false;
  if (keywords != nullptr) {
    bool keywords_bound = true;
    // A C caller may hand in a dict other threads change: it is walked under the dict's own lock
    // (nothing on builds with a GIL), so the borrowed keys and values stay alive while used.
    VELLORA_BEGIN_CRITICAL_SECTION(keywords);
    Py_ssize_t position = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    while (keywords_bound && PyDict_Next(keywords, &position, &keyword, &value))
      keywords_bound = bind_keyword(signature, keyword, value, bound);
    VELLORA_END_CRITICAL_SECTION();
    if (!keywords_bound) return false;
  }
  return check_required(signature, bound);
}

Outcome<std::string_view> text_argument(PyObject* value, const char* parameter) {
  if (!PyUnicode_Check(value)) [[unlikely]] {
    raise_conversion_error(value, texts::kStringTarget);
    return rename_conversion_error(parameter);
  }
  Py_ssize_t size = 0;
  const char* const text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) return rename_conversion_error(parameter);
  return std::string_view(text, static_cast<std::size_t>(size));
}

ErrorIsSet rename_conversion_error(const char* parameter) {
  PyObject* const raised = PyErr_GetRaisedException();
  if (raised == nullptr || !Py_IS_TYPE(raised, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(raised);
    return {};
  }
  const OwnedRef original = OwnedRef::consuming(raised);
  // %S calls the error's str(), and through it the str() of its argument: Python code.
  may_run_python([&] { PyErr_Format(PyExc_TypeError, "argument '%s': %S", parameter, original.get()); });
  if (PyObject* const cause = PyException_GetCause(original.get())) {
    PyObject* const renamed = PyErr_GetRaisedException();
    PyException_SetCause(renamed, cause);  // steals the cause
    PyErr_SetRaisedException(renamed);
  }
  return {};
}

}  // namespace vellora::py
