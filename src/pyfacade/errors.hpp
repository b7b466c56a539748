// The one place where failures become Python exceptions.
#pragma once

#include <Python.h>

#include <string_view>

#include "pyfacade/outcome.hpp"
#include "pyfacade/py_ref.hpp"
#include "registry/constant_record.hpp"

namespace vellora::py {

/// Makes sure a failed call leaves an exception: the pending one stays, or SystemError is raised
/// when the interpreter was left without one.
void raise_failure(ErrorIsSet) noexcept;

/// Maps the C++ exception being handled (bad_alloc to MemoryError, anything else to a fault).
/// Call only from inside a catch block.
void raise_current_cpp_exception() noexcept;

/// KeyError whose one argument is the registry error's message.
ErrorIsSet raise_registry_error(const RegistryError& error);

/// TypeError "'{type}' object cannot be converted to '{target}'" for a value of the wrong type.
ErrorIsSet raise_conversion_error(PyObject* value, const char* target) noexcept;

/// A result object could not be made: the pending error is printed and the call faults.
ErrorIsSet result_creation_failed(std::source_location where = std::source_location::current());

/// The process-wide PanicException type, created on first use; null with an error set on failure.
PyObject* panic_exception_type() noexcept;

/// Forgets that type once the runtime that made it has been finalized; touches no Python object.
void forget_panic_exception_type() noexcept;

}  // namespace vellora::py
