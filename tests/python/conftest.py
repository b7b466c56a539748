"""Shared fixtures for the tests of the Python surface.

Every behaviour test takes `core` and runs twice: against the extension ("native") and against
its pure-Python twin ("twin").
"""

import importlib

import pytest

from support import fault_type

IMPLEMENTATIONS = {"native": "corvantis._vellora_core", "twin": "corvantis._pyvellora"}


@pytest.fixture(params=list(IMPLEMENTATIONS), ids=list(IMPLEMENTATIONS))
def core(request):
    return importlib.import_module(IMPLEMENTATIONS[request.param])


@pytest.fixture
def native():
    return importlib.import_module(IMPLEMENTATIONS["native"])


@pytest.fixture
def twin():
    return importlib.import_module(IMPLEMENTATIONS["twin"])


@pytest.fixture
def skip_twin(core):
    """Call with the reason the twin cannot match the extension; skips the twin's run only."""

    def skip(reason):
        if core.__name__ == IMPLEMENTATIONS["twin"]:
            pytest.skip(f"twin: {reason}")

    return skip


@pytest.fixture
def panic_type(core):
    return fault_type(core)


def pytest_collection_modifyitems(items):
    """A run against the twin alone tests Python-level behaviour, which does not vary with the
    machine or C library that the extension was built for."""
    for item in items:
        callspec = getattr(item, "callspec", None)
        on_twin = callspec is not None and callspec.params.get("core") == "twin"
        if on_twin or ("twin" in item.fixturenames and "native" not in item.fixturenames):
            item.add_marker(pytest.mark.python_level)
