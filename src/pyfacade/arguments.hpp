// Binding call arguments to parameters, and converting them to core values.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "pyfacade/cpython_internals.hpp"
#include "pyfacade/outcome.hpp"
#include "pyfacade/thread_exit.hpp"

namespace vellora::py {

/// A callable's signature as the binder sees it. Every parameter is required and may be given by
/// position or by keyword, which is all that the module's callables take.
struct Signature {
  const char* class_name;  // null for a module function
  const char* function_name;
  std::span<const char* const> parameters;  // in order
  // parameters[i] as an interned str, filled in by the module entry. Call sites pass interned
  // keyword names, so most keywords match by identity.
  std::span<PyObject* const> interned_parameters;

  /// A callable without parameters.
  constexpr Signature(const char* class_name, const char* function_name) noexcept
      : class_name(class_name), function_name(function_name) {}
  /// A callable with N parameters; the two arrays must have one entry per parameter.
  template <std::size_t N>
  constexpr Signature(const char* class_name, const char* function_name, const char* const (&parameters)[N],
                      PyObject* const (&interned_parameters)[N]) noexcept
      : class_name(class_name),
        function_name(function_name),
        parameters(parameters),
        interned_parameters(interned_parameters) {}
};

/// Binds the fast-call form (positional array, then one value per name in `keyword_names`) into
/// `bound`, one borrowed reference per parameter, null for one not given. Sets TypeError with the
/// caller-facing message on any mismatch.
bool bind_fastcall_slow(const Signature& signature, PyObject* const* args, Py_ssize_t positional_count,
                        PyObject* keyword_names, PyObject** bound);

/// Binds the tuple-and-dictionary form used by constructors, with the same rules and messages.
bool bind_tuple_and_dict(const Signature& signature, PyObject* positional, PyObject* keywords, PyObject** bound);

/// Binds a fast call of a callable with N parameters; the all-positional call takes no detour.
template <std::size_t N>
inline Outcome<std::array<PyObject*, N>> bind_fastcall(const Signature& signature, PyObject* const* args,
                                                        Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, N> bound{};
  if (kwnames == nullptr && static_cast<std::size_t>(nargs) == N) [[likely]] {
    for (std::size_t i = 0; i < N; ++i) bound[i] = args[i];
    return bound;
  }
  if constexpr (N == 1) {  // f(name=value): the one keyword, matched by identity
    if (nargs == 0 && kwnames != nullptr && cpython::tuple_size(kwnames) == 1 &&
        cpython::tuple_item(kwnames, 0) == signature.interned_parameters[0]) {
      bound[0] = args[0];
      return bound;
    }
  }
  if (!bind_fastcall_slow(signature, args, nargs, kwnames, bound.data())) return ErrorIsSet{};
  return bound;
}

/// A `str` argument as UTF-8 text borrowed from the object for the duration of the call.
/// Not a `str`: TypeError "argument '<parameter>': '<type>' object cannot be converted to 'PyString'".
/// No UTF-8 form (a lone surrogate): the interpreter's UnicodeEncodeError, unchanged.
Outcome<std::string_view> text_argument(PyObject* value, const char* parameter);

/// A real-number argument: exact floats read directly, anything else through PyFloat_AsDouble.
/// An exception of exactly TypeError is renamed "argument '<parameter>': <message>".
inline Outcome<double> real_argument(PyObject* value, const char* parameter);

/// Replaces a pending exception of exactly TypeError by "argument '<parameter>': <its text>",
/// carrying its __cause__ over; any other exception stays as it is.
ErrorIsSet rename_conversion_error(const char* parameter);

inline Outcome<double> real_argument(PyObject* value, const char* parameter) {
  if (PyFloat_CheckExact(value)) [[likely]]
    return cpython::float_value(value);
  const double converted = may_run_python([value] { return PyFloat_AsDouble(value); });  // __float__, __index__
  if (converted == -1.0 && PyErr_Occurred()) return rename_conversion_error(parameter);
  return converted;
}

}  // namespace vellora::py
