// PyQuarkRegistry (an empty QuarkRegistry owned by a Python object) and py_list_quarks.
#include <Python.h>

#include <string_view>

#include "pyfacade/arguments.hpp"
#include "pyfacade/call.hpp"
#include "pyfacade/instance.hpp"
#include "pyfacade/module_members.hpp"
#include "pyfacade/results.hpp"
#include "pyfacade/texts.hpp"
#include "quarks/quark_registry.hpp"

namespace vellora::py {
namespace {

constexpr Signature kConstructorSignature{"PyQuarkRegistry", "__new__"};

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_returning_object([&]() -> Outcome<OwnedRef> {
    if (!bind_tuple_and_dict(kConstructorSignature, args, kwargs, nullptr)) return ErrorIsSet{};
    return new_instance(type, QuarkRegistry());
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

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(texts::kQuarkRegistryDoc)},
    {Py_tp_new, reinterpret_cast<void*>(construct)},
    {Py_mp_length, reinterpret_cast<void*>(length_slot<QuarkRegistry, &quark_registry_class, &QuarkRegistry::size>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(release_instance<QuarkRegistry>)},
    {0, nullptr},
};

PyType_Spec spec = {
    texts::kQuarkRegistryTypeName,
    static_cast<int>(sizeof(Instance<QuarkRegistry>)),
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

}  // namespace

TypeCell quark_registry_class{"PyQuarkRegistry", &spec};

PyMethodDef py_list_quarks_definition = {"py_list_quarks", py_list_quarks, METH_NOARGS, texts::kListQuarksDoc};

}  // namespace vellora::py
