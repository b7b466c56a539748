// PyCKMMatrix: a CKMMatrix owned by a Python object, made only by from_topology().
#include <Python.h>

#include <string>

#include "ckm/ckm_matrix.hpp"
#include "pyfacade/arguments.hpp"
#include "pyfacade/call.hpp"
#include "pyfacade/instance.hpp"
#include "pyfacade/module_members.hpp"
#include "pyfacade/results.hpp"
#include "pyfacade/texts.hpp"

namespace vellora::py {
namespace {

constexpr Signature kIsUnitarySignature{texts::kCKMMatrixName, "is_unitary", kTolParameters, interned.tol_parameters};

/// Calling the class is refused whatever the arguments: instances come from from_topology().
PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
  return call_returning_object([type]() -> Outcome<OwnedRef> {
    const OwnedRef name = OwnedRef::consuming(PyType_GetName(type));
    const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
    if (text == nullptr) {
      PyErr_Clear();
      text = texts::kUnknownTypeName;
    }
    PyErr_Format(PyExc_TypeError, texts::kNoConstructorFormat, text);
    return ErrorIsSet{};
  });
}

PyObject* from_topology(PyObject*, PyObject*) {
  return call_returning_object([]() -> Outcome<OwnedRef> {
    CKMMatrix matrix = CKMMatrix::from_topology();
    auto type = required_type(ckm_matrix_class);
    if (!type.ok()) return std::move(type).failure();
    auto instance = new_instance(type.value(), std::move(matrix));
    if (!instance.ok()) [[unlikely]] {
      // Nothing the caller did can make this fail: report it as a fault, naming the error.
      const OwnedRef error = OwnedRef::consuming(PyErr_GetRaisedException());
      const OwnedRef description = OwnedRef::consuming(error ? PyObject_Repr(error.get()) : nullptr);
      const char* const text = description ? PyUnicode_AsUTF8AndSize(description.get(), nullptr) : nullptr;
      PyErr_Clear();
      return fault(std::string("could not allocate a ") + texts::kCKMMatrixName + " instance: " +
                   (text != nullptr ? text : "unknown error"));
    }
    return instance;
  });
}

PyObject* is_unitary(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_returning_object([&]() -> Outcome<OwnedRef> {
    auto bound = bind_fastcall<1>(kIsUnitarySignature, args, nargs, kwnames);
    if (!bound.ok()) return std::move(bound).failure();
    // Converting the tolerance can run its __float__.
    auto matrix = SharedAccess<CKMMatrix, Reader::may_run_python>::take(self, ckm_matrix_class);
    if (!matrix.ok()) return std::move(matrix).failure();
    auto tol = real_argument(bound.value()[0], kTolParameters[0]);
    if (!tol.ok()) return std::move(tol).failure();
    return OwnedRef::owning(matrix.value()->is_unitary(tol.value()) ? Py_True : Py_False);
  });
}

PyObject* jarlskog(PyObject* self, PyObject*) {
  return call_returning_object([&]() -> Outcome<OwnedRef> {
    auto matrix = SharedAccess<CKMMatrix, Reader::runs_no_python>::take(self, ckm_matrix_class);
    if (!matrix.ok()) return std::move(matrix).failure();
    return new_float(matrix.value()->jarlskog());
  });
}

PyMethodDef methods[] = {
    {"from_topology", from_topology, METH_NOARGS | METH_STATIC, texts::kFromTopologyDoc},
    {"is_unitary", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(is_unitary)),
     METH_FASTCALL | METH_KEYWORDS, texts::kIsUnitaryDoc},
    {"jarlskog", jarlskog, METH_NOARGS, texts::kJarlskogDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(texts::kCKMMatrixDoc)},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_methods, methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(release_instance<CKMMatrix>)},
    {0, nullptr},
};

PyType_Spec spec = {
    texts::kCKMMatrixTypeName.data(),
    static_cast<int>(sizeof(Instance<CKMMatrix>)),
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

}  // namespace

TypeCell ckm_matrix_class{texts::kCKMMatrixName, &spec};

}  // namespace vellora::py
