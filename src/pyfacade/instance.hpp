// Class machinery: type cells, the instance layout, creation, shared access and release.
#pragma once

#include <Python.h>

#include <atomic>
#include <new>
#include <source_location>
#include <utility>

#include "pyfacade/call.hpp"
#include "pyfacade/cpython_internals.hpp"
#include "pyfacade/outcome.hpp"
#include "pyfacade/py_ref.hpp"

namespace vellora::py {

/// One per class: the type object, created from its spec on first use and kept for the process.
/// Without a GIL any thread may read the cell while another fills it: the type is published once,
/// with release, and read with acquire (a plain load on x86).
struct TypeCell {
  const char* class_name;
  PyType_Spec* spec;
  std::atomic<PyTypeObject*> type = nullptr;

  /// The type, created if the cell is empty; null with the creation error set.
  PyTypeObject* get_or_create() noexcept;
  /// Empties the cell once the runtime that made its type has been finalized.
  void forget() noexcept { type.store(nullptr, std::memory_order_relaxed); }
};

/// The type cell could not give its type: the creation error is printed and the call faults.
ErrorIsSet type_creation_failed(TypeCell& cell, std::source_location where);

/// The type a call needs. Should it not exist and fail to be created, the creation error is
/// printed and the call faults: "failed to create type object for <class>".
inline Outcome<PyTypeObject*> required_type(TypeCell& cell,
                                            std::source_location where = std::source_location::current()) {
  if (PyTypeObject* const type = cell.type.load(std::memory_order_acquire)) [[likely]]
    return type;
  if (PyTypeObject* const type = cell.get_or_create()) return type;
  return type_creation_failed(cell, where);
}

/// The shared-access counter of an instance. The GIL serialises its plain updates; without one
/// (a free-threaded build) calls on one instance run at once, so it is updated atomically there.
#ifdef Py_GIL_DISABLED
using AccessCount = std::atomic<Py_ssize_t>;
#else
using AccessCount = Py_ssize_t;
#endif

/// Raises the counter unless it says exclusive access (-1); false if it does.
inline bool try_share(Py_ssize_t& count) noexcept {
  if (count == -1) [[unlikely]]
    return false;
  ++count;
  return true;
}
inline bool try_share(std::atomic<Py_ssize_t>& count) noexcept {
  Py_ssize_t seen = count.load(std::memory_order_relaxed);
  do {
    if (seen == -1) [[unlikely]]
      return false;
  } while (!count.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire, std::memory_order_relaxed));
  return true;
}
inline void end_share(Py_ssize_t& count) noexcept { --count; }
inline void end_share(std::atomic<Py_ssize_t>& count) noexcept { count.fetch_sub(1, std::memory_order_release); }

/// The layout of every instance: the object header, the core value stored inline, then the
/// shared-access counter (-1 would mean exclusive access, which nothing here takes).
template <class Core>
struct Instance {
  PyObject header;
  alignas(Core) unsigned char storage[sizeof(Core)];
  AccessCount access_count;
  // Set once new_instance has built the core value. tp_alloc zeroes the memory, so an instance
  // allocated without it (a `__new__` replaced from Python that calls object.__new__) stays false.
  bool constructed;

  static Instance* from(PyObject* object) noexcept { return reinterpret_cast<Instance*>(object); }
  Core& core() noexcept { return *std::launder(reinterpret_cast<Core*>(storage)); }

  /// The access check, the one place it is written: shared access may be taken when the core
  /// value has been built and no exclusive access is held.
  bool may_share() const noexcept { return constructed && access_count != -1; }
};

/// Allocates an instance of `type` and moves `core` into it. On failure `core` is dropped with the
/// caller's value and the allocation error stays set. Every field is written here, so the
/// allocation may leave the memory unzeroed (cpython_internals.hpp says when).
template <class Core>
Outcome<OwnedRef> new_instance(PyTypeObject* type, Core&& core) noexcept {
  PyObject* const object = cpython::allocate_instance(type);
  if (object == nullptr) return ErrorIsSet{};
  auto* const instance = Instance<Core>::from(object);
  ::new (static_cast<void*>(instance->storage)) Core(std::move(core));
  ::new (static_cast<void*>(&instance->access_count)) AccessCount(0);
  instance->constructed = true;
  return OwnedRef::consuming(object);
}

/// The release slot: drops the core value, frees the memory, and lets go of the heap type.
template <class Core>
void release_instance(PyObject* object) {
  call_releasing([object] {
    auto* const instance = Instance<Core>::from(object);
    if (instance->constructed) instance->core().~Core();
    PyTypeObject* const type = Py_TYPE(object);
    cpython::free_instance(object);
    Py_DECREF(type);  // every instance of a heap type holds a reference to it
    return Outcome<Done>(Done{});
  });
}

/// Why shared access was refused: TypeError for an instance made without its constructor, else
/// RuntimeError (exclusive access held).
[[gnu::cold]] ErrorIsSet refuse_shared_access(bool constructed, const char* class_name) noexcept;

/// Whether a call can run Python code while it reads a core value (a conversion's `__float__`,
/// say). Only then could anything see the access counter raised, so only then is it raised: on a
/// free-threaded build that spares the other calls two locked instructions.
enum class Reader { runs_no_python, may_run_python };

/// Shared read access to an instance's core value for the duration of a call, the one way to it:
/// checks that `self` is an instance of the class, then holds the access counter raised (for a
/// reader that may run Python code) until it goes out of scope.
template <class Core, Reader reader>
class SharedAccess {
 public:
  static Outcome<SharedAccess> take(PyObject* self, TypeCell& cell) {
    // An instance of the class itself is let in inline; no object's type is null, so a cell not
    // yet filled fails this comparison by itself.
    auto* instance = Instance<Core>::from(self);
    if (!Py_IS_TYPE(self, cell.type.load(std::memory_order_acquire)) || !instance->may_share() ||
        !raise_counter(*instance)) [[unlikely]]
      instance = take_checked(self, cell);
    if (instance == nullptr) [[unlikely]]
      return ErrorIsSet{};
    return SharedAccess(instance);
  }

  SharedAccess(SharedAccess&& other) noexcept : instance_(std::exchange(other.instance_, nullptr)) {}
  SharedAccess& operator=(SharedAccess&&) = delete;
  SharedAccess(const SharedAccess&) = delete;
  ~SharedAccess() {
    // Even on a thread being ended at exit: the counter is this module's own field (atomic where
    // there is no GIL), and the caller's leaked reference keeps the instance alive.
    if constexpr (reader == Reader::may_run_python)
      if (instance_ != nullptr) end_share(instance_->access_count);
  }

  const Core& operator*() const noexcept { return instance_->core(); }
  const Core* operator->() const noexcept { return &instance_->core(); }

 private:
  explicit SharedAccess(Instance<Core>* instance) noexcept : instance_(instance) {}

  /// try_share raises the counter only if it still permits sharing: atomically where there is no GIL.
  static bool raise_counter(Instance<Core>& instance) noexcept {
    if constexpr (reader == Reader::may_run_python) return try_share(instance.access_count);
    return true;
  }

  /// Every other case, out of line: the type made if need be, a subtype let in; or null with the
  /// refusal raised.
  [[gnu::noinline]] static Instance<Core>* take_checked(PyObject* self, TypeCell& cell) {
    Outcome<PyTypeObject*> type = required_type(cell);
    if (!type.ok()) return nullptr;
    if (!Py_IS_TYPE(self, type.value()) && !PyType_IsSubtype(Py_TYPE(self), type.value())) [[unlikely]] {
      raise_conversion_error(self, cell.class_name);  // "'<type>' object cannot be converted to '<class>'"
      return nullptr;
    }
    auto* const instance = Instance<Core>::from(self);
    if (!instance->may_share() || !raise_counter(*instance)) [[unlikely]] {
      refuse_shared_access(instance->constructed, cell.class_name);
      return nullptr;
    }
    return instance;
  }

  Instance<Core>* instance_;
};

/// The length slot of a class whose core value counts its records: shared access, then the count,
/// or OverflowError (without arguments) should it not fit the interpreter's signed size.
template <class Core, TypeCell* cell, std::size_t (Core::*count)() const noexcept>
Py_ssize_t length_slot(PyObject* self) {
  return call_returning_length([self]() -> Outcome<Py_ssize_t> {
    auto core = SharedAccess<Core, Reader::runs_no_python>::take(self, *cell);
    if (!core.ok()) [[unlikely]]
      return std::move(core).failure();
    const std::size_t records = ((*core.value()).*count)();
    if (records > static_cast<std::size_t>(PY_SSIZE_T_MAX)) [[unlikely]] {
      PyErr_SetNone(PyExc_OverflowError);
      return ErrorIsSet{};
    }
    return static_cast<Py_ssize_t>(records);
  });
}

}  // namespace vellora::py
