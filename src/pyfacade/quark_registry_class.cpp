// PyQuarkRegistry: an empty QuarkRegistry owned by a Python object.
#include <Python.h>

#include "pyfacade/arguments.hpp"
#include "pyfacade/call.hpp"
#include "pyfacade/instance.hpp"
#include "pyfacade/module_members.hpp"
#include "pyfacade/texts.hpp"
#include "quarks/quark_registry.hpp"

namespace vellora::py {
namespace {

constexpr Signature kConstructorSignature{texts::kQuarkRegistryName, "__new__"};

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_returning_object([&]() -> Outcome<OwnedRef> {
    if (!bind_tuple_and_dict(kConstructorSignature, args, kwargs, nullptr)) return ErrorIsSet{};
    return new_instance(type, QuarkRegistry());
  });
}

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(texts::kQuarkRegistryDoc.data())},
    {Py_tp_new, reinterpret_cast<void*>(construct)},
    {Py_mp_length, reinterpret_cast<void*>(length_slot<QuarkRegistry, &quark_registry_class, &QuarkRegistry::size>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(release_instance<QuarkRegistry>)},
    {0, nullptr},
};

PyType_Spec spec = {
    texts::kQuarkRegistryTypeName.data(),
    static_cast<int>(sizeof(Instance<QuarkRegistry>)),
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

}  // namespace

TypeCell quark_registry_class{texts::kQuarkRegistryName, &spec};

}  // namespace vellora::py
