// What the module body adds: the class type cells and the module function records.
#pragma once

#include <Python.h>

#include <iterator>

#include "pyfacade/instance.hpp"

namespace vellora::py {

extern TypeCell formulas_registry_class;
extern TypeCell quark_registry_class;
extern TypeCell ckm_matrix_class;

// The function objects point at these records, so they live as long as the process.
extern PyMethodDef py_list_constants_definition;
extern PyMethodDef py_list_quarks_definition;
extern PyMethodDef py_get_constant_definition;

/// The parameter lists of the callables that take arguments: `get` and `py_get_constant` take a
/// name, `is_unitary` a tolerance.
inline constexpr const char* kNameParameters[] = {"name"};
inline constexpr const char* kTolParameters[] = {"tol"};

/// Interned names created once by the module entry and reused by every call.
struct InternedNames {
  PyObject* all;    // "__all__"
  PyObject* name;   // "__name__"
  PyObject* json;   // "json"
  PyObject* loads;  // "loads"
  // One per parameter of the lists above, in their order.
  PyObject* name_parameters[std::size(kNameParameters)];
  PyObject* tol_parameters[std::size(kTolParameters)];
};
extern InternedNames interned;

}  // namespace vellora::py
