"""corvantis: physics constants, quark listings and a CKM matrix.

The native core lives in ``corvantis._vellora_core``; it is imported on first use, not here, so
that importing the package never fails where the extension cannot be loaded. Where it cannot be
loaded (a subinterpreter, a machine without a build) the pure-Python twin
``corvantis._pyvellora`` answers instead, after one :class:`NativeUnavailableWarning`.
"""

# Every program that uses the package pays for this module's imports, so it imports only what the
# interpreter has already loaded at start-up; typing names are strings, seen by type checkers alone.
import _thread

TYPE_CHECKING = False
if TYPE_CHECKING:
    from types import ModuleType as _ModuleType

    from corvantis._vellora_core import (
        Datasheet as _Datasheet,
        PyCKMMatrix as PyCKMMatrix,
        PyFormulasRegistry as PyFormulasRegistry,
        PyQuarkRegistry as PyQuarkRegistry,
    )
else:
    # What typing.get_type_hints finds for those names: the classes of the values at run time.
    _ModuleType = type(_thread)
    _Datasheet = dict

# The one place the version is written: the build reads it for the wheel and for the extension.
__version__ = "2.3.0"
__all__ = [
    "NativeUnavailableWarning", "PyCKMMatrix", "PyFormulasRegistry", "PyQuarkRegistry",
    "backend", "get_constant", "list_constants", "list_quarks",
]

# The registry's message for an unknown name, shared by the twin and the command line.
_NOT_FOUND_MESSAGE = "constant `{}` not found in registry"

_chosen: "_ModuleType | None" = None
_choosing = _thread.allocate_lock()

if TYPE_CHECKING:  # the class itself is made by _warning_class

    class NativeUnavailableWarning(RuntimeWarning): ...


# NativeUnavailableWarning is made on first use: making a class costs a fresh interpreter more than
# the rest of this module together, and most programs never see the warning. (Comments rather
# than docstrings on the private functions: every byte of this module is read by every import.)
# No lock is held while it is made: making a class can run others' code on this very thread (a gc
# callback, a profile hook, a signal handler) that may ask for the class too. The first class
# stored stands; setdefault stores and reads it back in one step.
def _warning_class() -> "type[NativeUnavailableWarning]":
    made = globals().get("NativeUnavailableWarning")
    if made is None:

        class NativeUnavailableWarning(RuntimeWarning):
            """The extension could not be imported; the pure-Python twin answers instead."""

            __qualname__ = "NativeUnavailableWarning"

        made = globals().setdefault("NativeUnavailableWarning", NativeUnavailableWarning)
    return made  # type: ignore[no-any-return]


# Picks the module that answers, once per interpreter; a fall-back warns once, at `stacklevel`.
# No lock is held while importing: an import runs others' code (audit and import hooks), which
# may use the package on this very thread; the import system's own locks order the threads.
def _choose(stacklevel: int) -> "_ModuleType":
    global _chosen
    reason = None
    try:
        from corvantis import _vellora_core as module
    except ImportError as error:
        reason = str(error)
    if reason is not None:
        from corvantis import _pyvellora as module
    with _choosing:
        # The first choice made stands, and only the call that made a fall-back warns. It is
        # settled before the warning is issued: a filter that turns it into an error must not
        # leave the choice open, or every later call would fail in the same way.
        if _chosen is not None:
            return _chosen
        _chosen = module
    if reason is None:
        return module
    import warnings

    warnings.warn(
        f"corvantis._vellora_core cannot be imported ({reason}); "
        "using the pure-Python twin corvantis._pyvellora",
        _warning_class(),
        stacklevel=stacklevel,
    )
    return module


# Each public function asks _choose for the caller two frames up: itself, then its caller.


def backend() -> "_ModuleType":
    """The module that answers: ``corvantis._vellora_core``, or the twin where it cannot load.

    The choice is made once per interpreter; falling back warns once.
    """
    return _chosen or _choose(3)


def list_constants() -> "list[str]":
    """The names of the seventeen constants, sorted."""
    return (_chosen or _choose(3)).py_list_constants()  # type: ignore[no-any-return]


def list_quarks() -> "list[str]":
    """The names of the six standard-model quarks, sorted."""
    return (_chosen or _choose(3)).py_list_quarks()  # type: ignore[no-any-return]


def get_constant(name: str) -> "_Datasheet":
    """The datasheet of constant ``name``: name, status, uncertainty, units and value.

    Raises KeyError when there is no constant of that name.
    """
    # The empty name is an unknown name here, as it is to the registry's get(); the extension's
    # function treats it as a broken invariant instead. The text's own length decides: a str
    # subclass's __len__ or __bool__ may say otherwise.
    if isinstance(name, str) and not str.__len__(name):
        raise KeyError(_NOT_FOUND_MESSAGE.format(""))
    return (_chosen or _choose(3)).py_get_constant(name)  # type: ignore[no-any-return]


if not TYPE_CHECKING:  # type checkers see the classes imported above, and no catch-all attribute

    # The classes of the module that answers, looked up on each use: importing the package loads
    # no extension, and the classes always follow the module chosen.
    def __getattr__(name: str) -> type:
        if name in ("PyFormulasRegistry", "PyQuarkRegistry", "PyCKMMatrix"):
            return getattr(_chosen or _choose(3), name)
        if name == "NativeUnavailableWarning":
            return _warning_class()
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> "list[str]":
    return [*__all__, "__version__"]
