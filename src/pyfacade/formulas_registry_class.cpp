// PyFormulasRegistry: a seeded FormulasRegistry owned by a Python object.
#include <Python.h>

#include "pyfacade/arguments.hpp"
#include "pyfacade/call.hpp"
#include "pyfacade/errors.hpp"
#include "pyfacade/instance.hpp"
#include "pyfacade/module_members.hpp"
#include "pyfacade/results.hpp"
#include "pyfacade/texts.hpp"
#include "registry/formulas_registry.hpp"

namespace vellora::py {
namespace {

using RegistryInstance = Instance<FormulasRegistry>;

constexpr Signature kConstructorSignature{texts::kFormulasRegistryName, "__new__"};
constexpr Signature kGetSignature{texts::kFormulasRegistryName, "get", kNameParameters, interned.name_parameters};

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_returning_object([&]() -> Outcome<OwnedRef> {
    if (!bind_tuple_and_dict(kConstructorSignature, args, kwargs, nullptr)) return ErrorIsSet{};
    return new_instance(type, FormulasRegistry::seeded());
  });
}

PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_returning_object([&]() -> Outcome<OwnedRef> {
    auto bound = bind_fastcall<1>(kGetSignature, args, nargs, kwnames);
    if (!bound.ok()) return std::move(bound).failure();
    // Converting the name and looking it up run no Python code.
    auto registry = SharedAccess<FormulasRegistry, Reader::runs_no_python>::take(self, formulas_registry_class);
    if (!registry.ok()) return std::move(registry).failure();
    auto name = text_argument(bound.value()[0], kNameParameters[0]);
    if (!name.ok()) return std::move(name).failure();
    const auto value = registry.value()->value_of(name.value());
    if (!value) [[unlikely]]
      return raise_registry_error(value.error());
    return new_float(*value);
  });
}

PyObject* version(PyObject*, PyObject*) {
  return call_returning_object([]() -> Outcome<OwnedRef> { return new_text(texts::kVersion); });
}

PyMethodDef methods[] = {
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get)), METH_FASTCALL | METH_KEYWORDS,
     texts::kGetDoc},
    {"version", version, METH_NOARGS | METH_STATIC, texts::kVersionDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(texts::kFormulasRegistryDoc.data())},
    {Py_tp_new, reinterpret_cast<void*>(construct)},
    {Py_mp_length,
     reinterpret_cast<void*>(length_slot<FormulasRegistry, &formulas_registry_class, &FormulasRegistry::len>)},
    {Py_tp_methods, methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(release_instance<FormulasRegistry>)},
    {0, nullptr},
};

PyType_Spec spec = {
    texts::kFormulasRegistryTypeName.data(),
    static_cast<int>(sizeof(RegistryInstance)),
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

}  // namespace

TypeCell formulas_registry_class{texts::kFormulasRegistryName, &spec};

}  // namespace vellora::py
