"""Shared fixtures for the tests of the Python surface."""

import pytest

from corvantis import _vellora_core


@pytest.fixture
def core():
    return _vellora_core


@pytest.fixture
def panic_type():
    """The PanicException class, which the module does not export: taken from a real fault."""
    try:
        _vellora_core.py_get_constant("")
    except BaseException as error:  # noqa: BLE001 - the point is that it is not an Exception
        return type(error)
    raise AssertionError("an empty name must fault")
