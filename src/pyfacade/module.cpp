// The module entry point: one owning interpreter, the module built once and then reused.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <mutex>
#include <string_view>

#include "pyfacade/call.hpp"
#include "pyfacade/cpython_internals.hpp"
#include "pyfacade/errors.hpp"
#include "pyfacade/instance.hpp"
#include "pyfacade/module_members.hpp"
#include "pyfacade/texts.hpp"
#include "pyfacade/thread_exit.hpp"

namespace vellora::py {

InternedNames interned{};

namespace {

// Single-phase creation: no per-module state, no method table (functions are attached by the
// body below), and nothing is torn down: what the module keeps is forgotten with its runtime.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, texts::kModuleName, texts::kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> owning_interpreter{-1};
// Held while the module is built or handed out again: imports on two threads (importlib's
// per-name lock aside, e.g. two loaders run by hand) must still build it once, also where the
// builder lets the GIL go while Python code runs, or where there is no GIL.
std::mutex building;
PyObject* cached_module = nullptr;  // guarded by `building`; so is `interned`, written before it

/// Holds `building` for a scope. A thread that must wait detaches from the interpreter first, so
/// that waiting never blocks the holder, who may need the GIL back to finish.
class BuildingLock {
 public:
  // Not noexcept: taking the interpreter back can end the thread at exit (thread_exit.hpp).
  BuildingLock() {
    if (building.try_lock()) return;
    PyThreadState* const detached = PyEval_SaveThread();
    std::unique_lock waited(building);  // given up again should the thread be ended just below
    may_run_python([detached] { PyEval_RestoreThread(detached); });
    waited.release();
  }
  ~BuildingLock() { building.unlock(); }
  BuildingLock(const BuildingLock&) = delete;
  BuildingLock& operator=(const BuildingLock&) = delete;
};

/// Run by Py_FinalizeEx once the interpreter is gone: everything kept from it is forgotten (its
/// objects are the dead runtime's, never to be released), so that a program that initializes
/// Python again builds the module afresh. Only plain stores: no Python API may be called here.
void forget_finalized_runtime() noexcept {
  cached_module = nullptr;
  interned = InternedNames{};
  for (TypeCell* const cell : {&formulas_registry_class, &quark_registry_class, &ckm_matrix_class}) cell->forget();
  forget_panic_exception_type();
  owning_interpreter.store(-1);
}

bool intern_names() noexcept {
  if (interned.all != nullptr) return true;
  InternedNames made{};
  const struct {
    const char* text;
    PyObject** cell;
  } names[] = {
      {"__all__", &made.all},
      {"__name__", &made.name},
      {"json", &made.json},
      {"loads", &made.loads},
      {kNameParameters[0], &made.name_parameters[0]},
      {kTolParameters[0], &made.tol_parameters[0]},
  };
  static_assert(std::size(names) == sizeof(InternedNames) / sizeof(PyObject*), "every interned name is made");
  for (const auto& name : names) {
    *name.cell = PyUnicode_InternFromString(name.text);
    if (*name.cell == nullptr) {
      for (const auto& undone : names) Py_XDECREF(*undone.cell);
      return false;
    }
  }
  interned = made;  // kept until the runtime is finalized
  return true;
}

/// The module's `__all__`, made (empty) when the module has none yet.
Outcome<OwnedRef> all_list(PyObject* module) {
  // Looked up in the module's dict, where a miss raises nothing: a failed getattr would make and
  // clear an AttributeError during the import.
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(PyModule_GetDict(module), interned.all, &found) < 0) return ErrorIsSet{};
  OwnedRef all = OwnedRef::consuming(found);
  if (!all) {
    all = OwnedRef::consuming(PyList_New(0));
    if (!all || PyObject_SetAttr(module, interned.all, all.get()) < 0) return ErrorIsSet{};
  }
  if (!PyList_Check(all.get())) return raise_conversion_error(all.get(), texts::kListTarget);
  return all;
}

/// Appends `name` to `__all__` and sets the attribute: every addition goes through here.
Outcome<Done> add_attribute(PyObject* module, PyObject* name, PyObject* value) {
  auto all = all_list(module);
  if (!all.ok()) return std::move(all).failure();
  if (PyList_Append(all.value().get(), name) < 0) return fault(texts::kAppendToAllFailed);
  if (PyObject_SetAttr(module, name, value) < 0) return ErrorIsSet{};
  return Done{};
}

Outcome<Done> add_class(PyObject* module, TypeCell& cell) {
  PyTypeObject* const type = cell.get_or_create();
  if (type == nullptr) return ErrorIsSet{};
  const OwnedRef name = OwnedRef::consuming(PyUnicode_FromString(cell.class_name));
  if (!name) return ErrorIsSet{};
  return add_attribute(module, name.get(), reinterpret_cast<PyObject*>(type));
}

Outcome<Done> add_function(PyObject* module, PyMethodDef& definition) {
  const OwnedRef module_name = OwnedRef::consuming(PyModule_GetNameObject(module));
  if (!module_name) return ErrorIsSet{};
  const OwnedRef function = OwnedRef::consuming(PyCMethod_New(&definition, module, module_name.get(), nullptr));
  if (!function) return ErrorIsSet{};
  const OwnedRef name = OwnedRef::consuming(PyObject_GetAttr(function.get(), interned.name));
  if (!name) return ErrorIsSet{};
  if (!PyUnicode_Check(name.get())) return raise_conversion_error(name.get(), texts::kStringTarget);
  return add_attribute(module, name.get(), function.get());
}

Outcome<Done> add_text(PyObject* module, const char* attribute, const char* text) {
  const OwnedRef name = OwnedRef::consuming(PyUnicode_FromString(attribute));
  const OwnedRef value = OwnedRef::consuming(PyUnicode_FromString(text));
  if (!name || !value) return ErrorIsSet{};
  return add_attribute(module, name.get(), value.get());
}

#if defined(Py_LIMITED_API)
/// A free-threaded CPython imports `.abi3.so` files too (an older pip installs the abi3 wheel
/// there, a shared folder holds it), yet this build's objects are laid out for the GIL's CPython:
/// it refuses such an interpreter before it makes any object, so the package falls back to its
/// twin. Only calls into the interpreter here, no object layout: `sys.abiflags` holds "t" there.
Outcome<Done> refuse_free_threaded_interpreter() {
  PyObject* const abiflags = PySys_GetObject("abiflags");  // borrowed; absent on older Windows builds
  if (abiflags == nullptr) return Done{};
  Py_ssize_t size = 0;
  const char* const flags = PyUnicode_AsUTF8AndSize(abiflags, &size);
  if (flags == nullptr) return ErrorIsSet{};
  if (std::string_view(flags, static_cast<std::size_t>(size)).find('t') == std::string_view::npos) return Done{};
  PyErr_SetString(PyExc_ImportError, texts::kAbi3OnFreeThreaded);
  return ErrorIsSet{};
}
#endif

Outcome<OwnedRef> build_module() {
#if defined(Py_LIMITED_API)
  if (auto refused = refuse_free_threaded_interpreter(); !refused.ok()) return std::move(refused).failure();
#endif
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) return ErrorIsSet{};
  std::int64_t owner = -1;
  if (!owning_interpreter.compare_exchange_strong(owner, interpreter) && owner != interpreter) {
    PyErr_SetString(PyExc_ImportError, texts::kSubinterpreterRefused);
    return ErrorIsSet{};
  }
  const BuildingLock held;
  // A repeated import in the owning interpreter gets the very same module object.
  if (cached_module != nullptr) return OwnedRef::owning(cached_module);

  if (!intern_names()) return ErrorIsSet{};
  // Registered once per runtime (the list is emptied as it runs). Should the list be full, the
  // module is only kept, as before, for a runtime that is never started again.
  static_cast<void>(Py_AtExit(forget_finalized_runtime));
  prepare_for_forced_unwind();
  OwnedRef module = OwnedRef::consuming(PyModule_Create2(&module_definition, cpython::kModuleApiVersion));
  if (!module) return ErrorIsSet{};
#ifdef Py_GIL_DISABLED
  // Nothing here relies on the GIL (the shared state is atomic or written once under `building`),
  // so importing the module leaves a free-threaded interpreter without one.
  if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) return ErrorIsSet{};
#endif
  // The body, in the order the attributes appear in __all__; a half-built module is released.
  for (TypeCell* const cell : {&formulas_registry_class, &quark_registry_class, &ckm_matrix_class})
    if (auto added = add_class(module.get(), *cell); !added.ok()) return std::move(added).failure();
  for (PyMethodDef* const function :
       {&py_list_constants_definition, &py_list_quarks_definition, &py_get_constant_definition})
    if (auto added = add_function(module.get(), *function); !added.ok()) return std::move(added).failure();
  if (auto added = add_text(module.get(), "__version__", texts::kVersion); !added.ok())
    return std::move(added).failure();
  cached_module = OwnedRef::owning(module.get()).release();  // kept until the runtime is finalized
  return module;
}

}  // namespace
}  // namespace vellora::py

PyMODINIT_FUNC PyInit__vellora_core(void) {
  return vellora::py::call_returning_object(vellora::py::build_module);
}
