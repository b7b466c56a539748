// What the module body adds: the class type cells and the module function records.
#pragma once

#include <Python.h>

#include "pyfacade/instance.hpp"

namespace vellora::py {

extern TypeCell formulas_registry_class;
extern TypeCell quark_registry_class;
extern TypeCell ckm_matrix_class;

// The function objects point at these records, so they live as long as the process.
extern PyMethodDef py_list_constants_definition;
extern PyMethodDef py_list_quarks_definition;
extern PyMethodDef py_get_constant_definition;

/// Interned names created once by the module entry and reused by every call.
struct InternedNames {
  PyObject* all;        // "__all__"
  PyObject* name;       // "__name__"
  PyObject* json;       // "json"
  PyObject* loads;      // "loads"
  PyObject* name_parameter;  // "name"
  PyObject* tol_parameter;   // "tol"
};
extern InternedNames interned;

}  // namespace vellora::py
