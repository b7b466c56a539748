"""PyO3 module entry point. Wired as `corvantis._vellora_core`."""

from typing import Literal, Never, SupportsFloat, SupportsIndex, TypedDict, final, type_check_only

__all__ = [
    "PyFormulasRegistry",
    "PyQuarkRegistry",
    "PyCKMMatrix",
    "py_list_constants",
    "py_list_quarks",
    "py_get_constant",
    "__version__",
]
__version__: str

# What py_get_constant returns; a name for type checkers only, the module has no such attribute.
@type_check_only
class Datasheet(TypedDict):
    name: str
    status: Literal["Seed", "Cached", "Pending", "External"]
    uncertainty: float | None
    units: str
    value: float

@final
class PyFormulasRegistry:
    """Python wrapper for [`FormulasRegistry`]."""

    def __new__(cls) -> PyFormulasRegistry: ...
    def get(self, name: str) -> float:
        """Retrieve the numeric value for `name`."""
    @staticmethod
    def version() -> str:
        """Library-version round-trip helper."""
    def __len__(self) -> int: ...

@final
class PyQuarkRegistry:
    """Python wrapper for [`QuarkRegistry`]."""

    def __new__(cls) -> PyQuarkRegistry: ...
    def __len__(self) -> int: ...

@final
class PyCKMMatrix:
    """Python wrapper for [`CKMMatrix`]."""

    # Calling the class raises TypeError; instances come only from from_topology(). No call can
    # pass a Never, so a type checker flags every call, while the class stays usable as a type.
    def __new__(cls, no_constructor: Never, /) -> PyCKMMatrix: ...
    @staticmethod
    def from_topology() -> PyCKMMatrix:
        """Build the CKM matrix from the underlying topology."""
    def is_unitary(self, tol: SupportsFloat | SupportsIndex) -> bool:
        """`True` when the matrix is unitary within `tol`."""
    def jarlskog(self) -> float:
        """CP-violation Jarlskog invariant J."""

def py_list_constants() -> list[str]:
    """Rust-accelerated twin of `corvantis.list_constants`.

    Returns all known constant names from the FormulasRegistry."""

def py_list_quarks() -> list[str]:
    """Rust-accelerated twin of `corvantis.list_quarks`.

    Returns all SM quark names from the QuarkRegistry."""

def py_get_constant(name: str) -> Datasheet:
    """Rust-accelerated twin of `corvantis.Get` for the constants branch.

    Returns a JSON-serialised dict with `name`, `value`, `units`,
    `uncertainty`, and `status` fields — matching the Python constant
    datasheet schema so callers don't need to branch.

    Raises `PyKeyError` when `name` is not in the registry."""
