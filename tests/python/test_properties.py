"""Property tests of argument binding and conversion (hypothesis), on the extension and its twin.

For any call shape (positional values, keyword names of any text, lone surrogates included) the
extension and the twin give the same outcome: the same result, or the same exception type and
text. Names of any text (NUL, surrogates, very long) must give the seeded value, the KeyError
carrying the name, or the interpreter's UnicodeEncodeError; any tolerance object must convert
exactly as the C API's PyFloat_AsDouble does (called through ctypes as the oracle).
"""

import ctypes
import decimal
import math
import struct
import warnings

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corvantis import _pyvellora, _vellora_core
from support import EMULATED, NAMES, VALUES, stderr_to_devnull


PROPERTY_SETTINGS = settings(
    max_examples=25 if EMULATED else 300,
    deadline=None,
    database=None,  # nothing written into the work tree
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.large_base_example],
)

# Each backend with a registry and a matrix of its own, made once: calls never change them.
BACKENDS = [(module, module.PyFormulasRegistry(), module.PyCKMMatrix.from_topology())
            for module in (_vellora_core, _pyvellora)]

_as_double = ctypes.pythonapi.PyFloat_AsDouble
_as_double.argtypes = [ctypes.py_object]
_as_double.restype = ctypes.c_double


def bits(x):
    return struct.pack("<d", x)


def outcome(call):
    """('ok', value) or ('raise', exception type, text)."""
    try:
        return ("ok", call())
    except BaseException as error:  # noqa: BLE001 - PanicException is no Exception
        return ("raise", type(error), str(error))


def outcomes(call):
    """call(module, registry, matrix) on the extension and on the twin, which must give the same
    outcome (exception types compared by name: each backend has a PanicException of its own); the
    extension's outcome is returned."""
    native, twin = (outcome(lambda: call(*backend)) for backend in BACKENDS)
    named = [got[:1] + (got[1].__name__,) + got[2:] if got[0] == "raise" else got for got in (native, twin)]
    assert named[0] == named[1]
    return native


def has_surrogate(text):
    return any("\ud800" <= c <= "\udfff" for c in text)


# ---- Strategies ----

any_char = st.characters(exclude_categories=())  # every code point, lone surrogates included
odd_char = st.sampled_from(["\0", "\ud800", "\udbff", "\udc00", "\udfff", "`", "\n", "\x7f", "\u00e9", "\U0010ffff"])
names = st.one_of(
    st.text(alphabet=any_char, max_size=40),
    st.text(alphabet=st.one_of(odd_char, any_char), max_size=40),
    st.sampled_from(NAMES),
    st.builds(lambda pre, name, post: pre + name + post, st.text(odd_char, max_size=2), st.sampled_from(NAMES),
              st.text(odd_char, max_size=2)),
    st.builds(lambda piece, count: piece * count, st.text(alphabet=any_char, min_size=1, max_size=3),
              st.integers(1, 100_000)),
    st.builds(lambda count: "\0" * count, st.integers(1, 100_000)),
)
argument_values = st.one_of(names, st.integers(), st.none(), st.floats(), st.binary(max_size=4))
keyword_names = st.one_of(st.sampled_from(["name", "tol", "nam", "Name"]), st.text(alphabet=any_char, max_size=8))


class F(float):
    pass


class FloatReturns:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"FloatReturns({self.value!r})"


class FloatRaises:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error

    def __repr__(self):
        return f"FloatRaises({self.error!r})"


class IndexReturns:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value

    def __repr__(self):
        return f"IndexReturns({self.value!r})"


errors = st.builds(lambda cls, text: cls(text), st.sampled_from([TypeError, ValueError, OverflowError, KeyError,
                                                                  ArithmeticError, RuntimeError]), st.text(max_size=5))
tolerances = st.one_of(
    st.floats(),
    st.integers(),
    st.integers(min_value=-(10**330), max_value=10**330),
    st.booleans(),
    st.none(),
    st.text(max_size=5),
    st.binary(max_size=3),
    st.fractions(),
    st.decimals(allow_nan=True, allow_infinity=True),
    st.complex_numbers(),
    st.builds(F, st.floats()),
    st.builds(FloatReturns, st.one_of(st.floats(), st.integers(), st.text(max_size=3), st.none(),
                                      st.builds(F, st.floats()))),
    st.builds(FloatRaises, errors),
    st.builds(IndexReturns, st.one_of(st.integers(), st.integers(min_value=10**308, max_value=10**320),
                                      st.text(max_size=2), errors)),
    st.lists(st.floats(), max_size=2),
)


# ---- Names ----


@PROPERTY_SETTINGS
@given(name=names)
def test_any_name_gives_the_value_a_key_error_or_the_encode_error(name):
    got = outcomes(lambda module, registry, matrix: registry.get(name))
    if has_surrogate(name):
        assert got[:2] == ("raise", UnicodeEncodeError)
    elif name in VALUES:
        assert got[0] == "ok" and bits(got[1]) == bits(VALUES[name])
    else:
        assert got == ("raise", KeyError, repr(f"constant `{name}` not found in registry"))


@PROPERTY_SETTINGS
@given(name=names)
def test_any_name_gives_the_datasheet_a_key_error_the_encode_error_or_the_fault(name):
    with stderr_to_devnull():
        got = outcomes(lambda module, registry, matrix: module.py_get_constant(name))
    if has_surrogate(name):
        assert got[:2] == ("raise", UnicodeEncodeError)
    elif name == "":
        assert got[0] == "raise" and not issubclass(got[1], Exception)
        assert got[2] == "py_get_constant: name must be non-empty"
    elif name in VALUES:
        assert got[0] == "ok" and got[1]["name"] == name and bits(got[1]["value"]) == bits(VALUES[name])
    else:
        assert got == ("raise", KeyError, repr(f"constant `{name}` not found in registry"))


# ---- Binding: the extension and the twin alike ----

CALLABLES = {
    "get": lambda module, registry, matrix: registry.get,
    "py_get_constant": lambda module, registry, matrix: module.py_get_constant,
    "is_unitary": lambda module, registry, matrix: matrix.is_unitary,
}


@pytest.mark.parametrize("callable_of", list(CALLABLES.values()), ids=list(CALLABLES))
@PROPERTY_SETTINGS
@given(args=st.lists(st.one_of(argument_values, tolerances), max_size=3),
       kwargs=st.dictionaries(keyword_names, st.one_of(argument_values, tolerances), max_size=3))
def test_binding_is_the_same_on_the_extension_and_the_twin(callable_of, args, kwargs):
    with stderr_to_devnull(), warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        outcomes(lambda *backend: callable_of(*backend)(*args, **kwargs))


# ---- Tolerances against the C API's own conversion ----


def expected_is_unitary(tol):
    """The identity's deviation is 0: true exactly for a converted tol >= 0 (never for NaN)."""
    converted = outcome(lambda: _as_double(tol))
    if converted[0] == "raise":
        kind, text = converted[1], converted[2]
        return ("raise", kind, f"argument 'tol': {text}" if kind is TypeError else text)
    return ("ok", converted[1] >= 0.0)


@PROPERTY_SETTINGS
@given(tol=tolerances)
def test_any_tolerance_converts_as_the_c_api_does(tol):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        want = expected_is_unitary(tol)
        assert outcomes(lambda module, registry, matrix: matrix.is_unitary(tol)) == want
        assert outcomes(lambda module, registry, matrix: matrix.is_unitary(tol=tol)) == want


def test_the_oracle_distinguishes_outcomes():
    """The ctypes oracle itself: a conversion, a renamed TypeError, an exception passed on."""
    assert expected_is_unitary(0.5) == ("ok", True)
    assert expected_is_unitary(-1) == ("ok", False)
    assert expected_is_unitary(math.nan) == ("ok", False)
    assert expected_is_unitary("x") == ("raise", TypeError, "argument 'tol': must be real number, not str")
    assert expected_is_unitary(decimal.Decimal("sNaN"))[:2] == ("raise", ValueError)
    assert expected_is_unitary(10**400)[:2] == ("raise", OverflowError)
