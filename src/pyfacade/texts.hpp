// The fixed texts the module shows to Python (names, docstrings and messages), each defined once.
// Texts built from a template live beside their builder: the argument-binding messages in
// arguments.cpp, the registry's error messages in registry/constant_record.hpp; their words are
// fixed by contract too.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace vellora::texts {

/// The texts `parts` written one after another, as one zero-terminated array: so that a text made
/// of another (a class name in its type name and docstring) still writes that one once.
template <std::size_t... N>
consteval auto joined(const char (&... parts)[N]) {
  std::array<char, (N + ...) - sizeof...(N) + 1> text{};  // the last zero ends it
  std::size_t at = 0;
  for (const std::string_view part : {std::string_view(parts, N - 1)...})
    for (const char c : part) text[at++] = c;
  return text;
}

// Fixed by contract. These words are the system's contract, and callers may match on them byte
// for byte. That includes what reads like a leftover of another implementation ("PyO3",
// 'PyString', 'PyList', "Rust-accelerated", `PyKeyError`): those are the interface's names, not
// this code's. Do not change a byte of any text in this group.

inline constexpr char kModuleName[] = "_vellora_core";
inline constexpr char kModuleDoc[] = "PyO3 module entry point. Wired as `corvantis._vellora_core`.";
#ifndef VELLORA_VERSION
#error "VELLORA_VERSION (the package's __version__) must be defined by the build"
#endif
inline constexpr char kVersion[] = VELLORA_VERSION;

// Each class: its name, its type name (the module it is registered under, then the name), its
// docstring.
inline constexpr char kTypeModule[] = "builtins.";
inline constexpr char kFormulasRegistryName[] = "PyFormulasRegistry";
inline constexpr auto kFormulasRegistryTypeName = joined(kTypeModule, kFormulasRegistryName);
inline constexpr auto kFormulasRegistryDoc =
    joined(kFormulasRegistryName, "()\n--\n\nPython wrapper for [`FormulasRegistry`].");
inline constexpr char kQuarkRegistryName[] = "PyQuarkRegistry";
inline constexpr auto kQuarkRegistryTypeName = joined(kTypeModule, kQuarkRegistryName);
inline constexpr auto kQuarkRegistryDoc = joined(kQuarkRegistryName, "()\n--\n\nPython wrapper for [`QuarkRegistry`].");
inline constexpr char kCKMMatrixName[] = "PyCKMMatrix";
inline constexpr auto kCKMMatrixTypeName = joined(kTypeModule, kCKMMatrixName);
inline constexpr char kCKMMatrixDoc[] = "Python wrapper for [`CKMMatrix`].";

inline constexpr char kGetDoc[] = "get($self, name)\n--\n\nRetrieve the numeric value for `name`.";
inline constexpr char kVersionDoc[] = "version()\n--\n\nLibrary-version round-trip helper.";
inline constexpr char kFromTopologyDoc[] =
    "from_topology()\n--\n\nBuild the CKM matrix from the underlying topology.";
inline constexpr char kIsUnitaryDoc[] =
    "is_unitary($self, tol)\n--\n\n`True` when the matrix is unitary within `tol`.";
inline constexpr char kJarlskogDoc[] = "jarlskog($self)\n--\n\nCP-violation Jarlskog invariant J.";

inline constexpr char kListConstantsDoc[] =
    "py_list_constants()\n--\n\nRust-accelerated twin of `corvantis.list_constants`.\n\n"
    "Returns all known constant names from the FormulasRegistry.";
inline constexpr char kListQuarksDoc[] =
    "py_list_quarks()\n--\n\nRust-accelerated twin of `corvantis.list_quarks`.\n\n"
    "Returns all SM quark names from the QuarkRegistry.";
inline constexpr char kGetConstantDoc[] =
    "py_get_constant(name)\n--\n\nRust-accelerated twin of `corvantis.Get` for the constants branch.\n\n"
    "Returns a JSON-serialised dict with `name`, `value`, `units`,\n"
    "`uncertainty`, and `status` fields \xe2\x80\x94 matching the Python constant\n"
    "datasheet schema so callers don't need to branch.\n\n"
    "Raises `PyKeyError` when `name` is not in the registry.";

inline constexpr char kSubinterpreterRefused[] =
    "PyO3 modules do not yet support subinterpreters, see https://github.com/PyO3/pyo3/issues/576";
inline constexpr char kAbi3OnFreeThreaded[] =
    "this build of corvantis._vellora_core (abi3) needs a CPython with the GIL; a free-threaded "
    "CPython needs the build made for it: its own wheel (cp313t, cp314t) or the sdist";
inline constexpr char kNoExceptionSet[] = "attempted to fetch exception but none was set";
inline constexpr char kPythonApiCallFailed[] = "Python API call failed";
inline constexpr char kAppendToAllFailed[] = "could not append __name__ to __all__";
inline constexpr char kTypeCreationFailedPrefix[] = "failed to create type object for ";
inline constexpr char kAlreadyMutablyBorrowed[] = "Already mutably borrowed";
inline constexpr char kNoConstructorFormat[] = "No constructor defined for %s";
inline constexpr char kUnknownTypeName[] = "<unknown>";
inline constexpr char kEmptyConstantName[] = "py_get_constant: name must be non-empty";

// Targets named in conversion errors: "'int' object cannot be converted to 'PyString'".
inline constexpr char kStringTarget[] = "PyString";
inline constexpr char kListTarget[] = "PyList";

// This module's own. The contract leaves these words to the module; they may be reworded.

inline constexpr char kPanicExceptionName[] = "corvantis._vellora_core.PanicException";
inline constexpr char kPanicExceptionDoc[] =
    "An internal fault of the extension (a broken invariant), not an error in the caller's input.\n\n"
    "It derives from BaseException rather than Exception so that, like SystemExit, it propagates to\n"
    "the top instead of being swallowed by `except Exception:` handlers.";

inline constexpr char kNotConstructedFormat[] = "%s object was made without its constructor";

}  // namespace vellora::texts
