"""corvantis: physics constants, quark listings and a CKM matrix.

The native core lives in ``corvantis._vellora_core``; it is imported on first use, not here, so
that importing the package never fails where the extension cannot be loaded. Where it cannot be
loaded (a subinterpreter, a machine without a build) the pure-Python twin
``corvantis._pyvellora`` answers instead, after one :class:`NativeUnavailableWarning`.
"""

from __future__ import annotations

import threading
import warnings
from types import ModuleType

TYPE_CHECKING = False
if TYPE_CHECKING:  # typing is not imported at run time: it would slow every import of the package
    from typing import Any

__version__ = "2.3.0"
__all__ = ["NativeUnavailableWarning", "backend", "get_constant", "list_constants", "list_quarks"]


class NativeUnavailableWarning(RuntimeWarning):
    """The extension could not be imported; the pure-Python twin answers instead."""


_chosen: ModuleType | None = None
_choosing = threading.Lock()


def backend() -> ModuleType:
    """The module that answers: ``corvantis._vellora_core``, or the twin where it cannot load.

    The choice is made once per interpreter; falling back warns once.
    """
    global _chosen
    chosen = _chosen
    if chosen is not None:
        return chosen
    with _choosing:
        if _chosen is None:
            try:
                from corvantis import _vellora_core as native
            except ImportError as error:
                from corvantis import _pyvellora as twin

                warnings.warn(
                    f"corvantis._vellora_core cannot be imported ({error}); "
                    "using the pure-Python twin corvantis._pyvellora",
                    NativeUnavailableWarning,
                    stacklevel=3,
                )
                _chosen = twin
            else:
                _chosen = native
        return _chosen


def list_constants() -> list[str]:
    """The names of the seventeen constants, sorted."""
    return backend().py_list_constants()  # type: ignore[no-any-return]


def list_quarks() -> list[str]:
    """The names of the six standard-model quarks, sorted."""
    return backend().py_list_quarks()  # type: ignore[no-any-return]


def get_constant(name: str) -> dict[str, Any]:
    """The datasheet of constant ``name``: name, status, uncertainty, units and value.

    Raises KeyError when there is no constant of that name.
    """
    return backend().py_get_constant(name)  # type: ignore[no-any-return]
