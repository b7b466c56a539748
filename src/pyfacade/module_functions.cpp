// The module functions, py_get_constant, py_list_constants and py_list_quarks: each builds a fresh
// registry per call, nothing cached.
#include <Python.h>

#include <string>

#include "pyfacade/arguments.hpp"
#include "pyfacade/call.hpp"
#include "pyfacade/errors.hpp"
#include "pyfacade/module_members.hpp"
#include "pyfacade/results.hpp"
#include "pyfacade/texts.hpp"
#include "quarks/quark_registry.hpp"
#include "registry/datasheet_json.hpp"
#include "registry/formulas_registry.hpp"
#include "support/lexicographic_order.hpp"

namespace vellora::py {
namespace {

constexpr Signature kGetConstantSignature{nullptr, "py_get_constant", kNameParameters, interned.name_parameters};

PyObject* py_get_constant(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_returning_object([&]() -> Outcome<OwnedRef> {
    auto bound = bind_fastcall<1>(kGetConstantSignature, args, nargs, kwnames);
    if (!bound.ok()) return std::move(bound).failure();
    auto name = text_argument(bound.value()[0], kNameParameters[0]);
    if (!name.ok()) return std::move(name).failure();
    // An empty name cannot have come from a valid caller of the datasheet API: a broken invariant.
    if (name.value().empty()) [[unlikely]]
      return fault(texts::kEmptyConstantName);

    const auto record = FormulasRegistry::seeded().get(name.value());  // the registry is gone after this line
    if (!record) return raise_registry_error(record.error());
    const std::string text = datasheet_json(*record);

    // json is imported on every call, so whatever sys.modules holds at that moment is used.
    const OwnedRef json = OwnedRef::consuming(may_run_python([] { return PyImport_Import(interned.json); }));
    if (!json) return ErrorIsSet{};
    const OwnedRef json_text = str_from_utf8(text);
    if (!json_text) return ErrorIsSet{};
    PyObject* call_args[] = {nullptr, json.get(), json_text.get()};  // [0] is scratch for the callee
    OwnedRef loaded = OwnedRef::consuming(may_run_python([&] {
      return PyObject_VectorcallMethod(interned.loads, call_args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }));
    if (!loaded) return ErrorIsSet{};
    return loaded;
  });
}

PyObject* py_list_constants(PyObject*, PyObject*) {
  return call_returning_object([]() -> Outcome<OwnedRef> {
    // A fresh seeded registry per call, gone before the list is made; its names are sorted as
    // views of the table's texts, and each becomes a new str.
    auto names = FormulasRegistry::seeded_names();
    sort_by_bytes(names);
    return new_text_list(names);
  });
}

PyObject* py_list_quarks(PyObject*, PyObject*) {
  return call_returning_object([]() -> Outcome<OwnedRef> {
    // The registry lives until the list is made, so its names need not be copied first.
    const QuarkRegistry registry = QuarkRegistry::standard_model();
    std::string_view names[QuarkRegistry::kStandardModelSize];
    registry.sort_names_into(names);
    return new_text_list(names);
  });
}

}  // namespace

PyMethodDef py_list_constants_definition = {"py_list_constants", py_list_constants, METH_NOARGS,
                                            texts::kListConstantsDoc};
PyMethodDef py_list_quarks_definition = {"py_list_quarks", py_list_quarks, METH_NOARGS, texts::kListQuarksDoc};
PyMethodDef py_get_constant_definition = {
    "py_get_constant", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_get_constant)),
    METH_FASTCALL | METH_KEYWORDS, texts::kGetConstantDoc};

}  // namespace vellora::py
