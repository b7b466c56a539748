"""py_list_quarks, PyQuarkRegistry and PyCKMMatrix."""

import math

import pytest

from support import QUARKS


def test_list_quarks(core):
    first, second = core.py_list_quarks(), core.py_list_quarks()
    assert first == QUARKS == second and first is not second
    first.clear()
    assert core.py_list_quarks() == QUARKS
    with pytest.raises(TypeError):
        core.py_list_quarks(None)


def test_quark_registry_is_empty_and_false(core):
    registry = core.PyQuarkRegistry()
    assert len(registry) == 0
    assert not registry
    assert core.PyQuarkRegistry() is not registry


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "PyQuarkRegistry.__new__() takes 0 positional arguments but 1 was given"),
        ((), {"x": 1}, "PyQuarkRegistry.__new__() got an unexpected keyword argument 'x'"),
    ],
)
def test_quark_registry_takes_no_arguments(core, args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        core.PyQuarkRegistry(*args, **kwargs)
    assert str(raised.value) == message


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1,), {"a": 2}), ((), {"tol": 0.0})])
def test_ckm_class_cannot_be_called(core, args, kwargs):
    with pytest.raises(TypeError) as raised:
        core.PyCKMMatrix(*args, **kwargs)
    assert str(raised.value) == "No constructor defined for PyCKMMatrix"


def test_from_topology_makes_distinct_equal_matrices(core):
    first, second = core.PyCKMMatrix.from_topology(), core.PyCKMMatrix.from_topology()
    assert first is not second and type(first) is core.PyCKMMatrix
    assert first.jarlskog() == second.jarlskog() == 0.0
    assert type(first.jarlskog()) is float
    assert first.from_topology().is_unitary(0.0)


class Floaty:
    def __float__(self):
        return 0.25


class Indexy:
    def __index__(self):
        return 1


@pytest.mark.parametrize(
    "tol, expected",
    [
        (0.0, True), (-0.0, True), (0.5, True), (math.inf, True), (-0.5, False), (math.nan, False),
        (-math.inf, False), (0, True), (1, True), (-1, False), (True, True), (False, True),
        (Floaty(), True), (Indexy(), True), (10**300, True),
    ],
)
def test_is_unitary_of_the_identity(core, tol, expected):
    matrix = core.PyCKMMatrix.from_topology()
    assert matrix.is_unitary(tol) is expected
    assert matrix.is_unitary(tol=tol) is expected


@pytest.mark.parametrize(
    "call, exception, message",
    [
        (lambda m: m.is_unitary(), TypeError, "PyCKMMatrix.is_unitary() missing 1 required positional argument: 'tol'"),
        (lambda m: m.is_unitary(1.0, 2.0), TypeError, "PyCKMMatrix.is_unitary() takes 1 positional arguments but 2 were given"),
        (lambda m: m.is_unitary(1.0, tol=2.0), TypeError, "PyCKMMatrix.is_unitary() got multiple values for argument 'tol'"),
        (lambda m: m.is_unitary(tolerance=1.0), TypeError, "PyCKMMatrix.is_unitary() got an unexpected keyword argument 'tolerance'"),
        (lambda m: m.is_unitary("0.1"), TypeError, "argument 'tol': must be real number, not str"),
        (lambda m: m.is_unitary(None), TypeError, "argument 'tol': must be real number, not NoneType"),
        (lambda m: m.is_unitary(10**400), OverflowError, "int too large to convert to float"),
        (lambda m: m.jarlskog(1), TypeError, None),
        (lambda m: m.from_topology(1), TypeError, None),
    ],
)
def test_is_unitary_errors(core, call, exception, message):
    with pytest.raises(exception) as raised:
        call(core.PyCKMMatrix.from_topology())
    assert type(raised.value) is exception
    if message is not None:
        assert str(raised.value) == message


def test_tol_conversion_keeps_other_exceptions_and_the_cause(core):
    class Raises:
        def __float__(self):
            raise ValueError("no float here")

    class SubTypeError(TypeError):
        pass

    class RaisesSub:
        def __float__(self):
            raise SubTypeError("subclass")

    class RaisesWithCause:
        def __float__(self):
            raise TypeError("outer") from KeyError("inner")

    class NotAFloat:
        def __float__(self):
            return "nope"

    matrix = core.PyCKMMatrix.from_topology()
    with pytest.raises(ValueError, match="no float here"):
        matrix.is_unitary(Raises())
    with pytest.raises(SubTypeError, match="^subclass$"):
        matrix.is_unitary(RaisesSub())
    with pytest.raises(TypeError) as raised:
        matrix.is_unitary(RaisesWithCause())
    assert str(raised.value) == "argument 'tol': outer"
    assert isinstance(raised.value.__cause__, KeyError)
    with pytest.raises(TypeError) as raised:
        matrix.is_unitary(NotAFloat())
    assert str(raised.value).startswith("argument 'tol': ")


def test_float_subclass_tol(core):
    class F(float):
        pass

    matrix = core.PyCKMMatrix.from_topology()
    assert matrix.is_unitary(F(0.0)) is True
    assert matrix.is_unitary(F(-1.0)) is False
