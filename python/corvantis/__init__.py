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
    from types import ModuleType

    from corvantis._vellora_core import Datasheet

# The one place the version is written: the build reads it for the wheel and for the extension.
__version__ = "2.3.0"
__all__ = ["NativeUnavailableWarning", "backend", "get_constant", "list_constants", "list_quarks"]

# The registry's message for an unknown name, shared by the twin and the command line.
_NOT_FOUND_MESSAGE = "constant `{}` not found in registry"


class NativeUnavailableWarning(RuntimeWarning):
    """The extension could not be imported; the pure-Python twin answers instead."""


_chosen: "ModuleType | None" = None
_choosing = _thread.allocate_lock()


def _choose(stacklevel: int) -> "ModuleType":
    """Picks the module that answers, once per interpreter; a fall-back warns once, at `stacklevel`."""
    global _chosen
    with _choosing:
        if _chosen is not None:
            return _chosen
        try:
            from corvantis import _vellora_core as native
        except ImportError as error:
            reason = str(error)
        else:
            _chosen = native
            return native
        from corvantis import _pyvellora as twin

        # Settled before the warning is issued: a filter that turns it into an error must not
        # leave the choice open, or every later call would fail in the same way.
        _chosen = twin
    import warnings

    warnings.warn(
        f"corvantis._vellora_core cannot be imported ({reason}); "
        "using the pure-Python twin corvantis._pyvellora",
        NativeUnavailableWarning,
        stacklevel=stacklevel,
    )
    return twin


# Each public function asks _choose for the caller two frames up: itself, then its caller.


def backend() -> "ModuleType":
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


def get_constant(name: str) -> "Datasheet":
    """The datasheet of constant ``name``: name, status, uncertainty, units and value.

    Raises KeyError when there is no constant of that name.
    """
    return (_chosen or _choose(3)).py_get_constant(name)  # type: ignore[no-any-return]
