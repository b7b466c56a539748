"""Property tests of the native extension's argument binding and conversion (hypothesis).

A small model of the binder predicts, for any call shape (positional values, keyword names of any
text, lone surrogates included) the exact TypeError text or the bound value; names of any text
(NUL, surrogates, very long) must give the seeded value, the KeyError carrying the name, or the
interpreter's UnicodeEncodeError; any tolerance object must convert exactly as the C API's
PyFloat_AsDouble does (called through ctypes as the oracle).
"""

import ctypes
import decimal
import math
import os
import struct
import warnings

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corvantis import _vellora_core as core
from support import stderr_to_devnull

SEEDED = {
    "b3": 24.0, "chi_eff": 72.0, "n_gen": 3.0, "roots_total": 288.0, "visible_sector": 125.0,
    "sterile_sector": 163.0, "phi": 1.618033988749895, "gamma_em": 0.5772156649015329,
    "jc_constant": 153.0, "logic_closure": 288.0, "v_higgs_mev": 0.0, "sterile_check": 0.0,
    "n_gen_sq": 0.0, "h0_central": 0.0, "w0_central": 0.0, "m_tau_mev": 0.0, "topo_gen_check": 0.0,
}
NAMES = sorted(SEEDED)

PROPERTY_SETTINGS = settings(
    max_examples=int(os.environ.get("VELLORA_PROPERTY_EXAMPLES", "300")),
    deadline=None,
    database=None,  # nothing written into the work tree
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.large_base_example],
)

REGISTRY = core.PyFormulasRegistry()
MATRIX = core.PyCKMMatrix.from_topology()

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
    got = outcome(lambda: REGISTRY.get(name))
    if has_surrogate(name):
        assert got[:2] == ("raise", UnicodeEncodeError)
    elif name in SEEDED:
        assert got[0] == "ok" and bits(got[1]) == bits(SEEDED[name])
    else:
        assert got == ("raise", KeyError, repr(f"constant `{name}` not found in registry"))


@PROPERTY_SETTINGS
@given(name=names)
def test_any_name_gives_the_datasheet_a_key_error_the_encode_error_or_the_fault(name):
    with stderr_to_devnull():
        got = outcome(lambda: core.py_get_constant(name))
    if has_surrogate(name):
        assert got[:2] == ("raise", UnicodeEncodeError)
    elif name == "":
        assert got[0] == "raise" and not issubclass(got[1], Exception)
        assert got[2] == "py_get_constant: name must be non-empty"
    elif name in SEEDED:
        assert got[0] == "ok" and got[1]["name"] == name and bits(got[1]["value"]) == bits(SEEDED[name])
    else:
        assert got == ("raise", KeyError, repr(f"constant `{name}` not found in registry"))


# ---- Binding, modelled ----


def bind(full_name, parameter, args, kwargs):
    """The binder's rules for one parameter: the bound value, or the TypeError text."""
    if len(args) > 1:
        return None, f"{full_name} takes 1 positional arguments but {len(args)} were given"
    bound = args[0] if args else None
    given_ = bool(args)
    for keyword, value in kwargs.items():
        if keyword != parameter:
            return None, f"{full_name} got an unexpected keyword argument '{keyword}'"
        if given_:
            return None, f"{full_name} got multiple values for argument '{parameter}'"
        bound, given_ = value, True
    if not given_:
        return None, f"{full_name} missing 1 required positional argument: '{parameter}'"
    return bound, None


def name_conversion(value):
    if not isinstance(value, str):
        return ("raise", TypeError,
                f"argument 'name': '{type(value).__qualname__}' object cannot be converted to 'PyString'")
    return None


@PROPERTY_SETTINGS
@given(args=st.lists(argument_values, max_size=3), kwargs=st.dictionaries(keyword_names, argument_values, max_size=3))
def test_binding_of_get_matches_the_model(args, kwargs):
    bound, message = bind("PyFormulasRegistry.get()", "name", args, kwargs)
    got = outcome(lambda: REGISTRY.get(*args, **kwargs))
    if message is not None:
        assert got == ("raise", TypeError, message)
        return
    if (failure := name_conversion(bound)) is not None:
        assert got == failure
        return
    assert got == outcome(lambda: REGISTRY.get(bound))  # the same as the plain positional call


@PROPERTY_SETTINGS
@given(args=st.lists(argument_values, max_size=3), kwargs=st.dictionaries(keyword_names, argument_values, max_size=3))
def test_binding_of_py_get_constant_matches_the_model(args, kwargs):
    bound, message = bind("py_get_constant()", "name", args, kwargs)
    with stderr_to_devnull():
        got = outcome(lambda: core.py_get_constant(*args, **kwargs))
        if message is not None:
            assert got == ("raise", TypeError, message)
            return
        if (failure := name_conversion(bound)) is not None:
            assert got == failure
            return
        assert got == outcome(lambda: core.py_get_constant(bound))


@PROPERTY_SETTINGS
@given(args=st.lists(st.one_of(argument_values, tolerances), max_size=3),
       kwargs=st.dictionaries(keyword_names, st.one_of(argument_values, tolerances), max_size=3))
def test_binding_of_is_unitary_matches_the_model(args, kwargs):
    bound, message = bind("PyCKMMatrix.is_unitary()", "tol", args, kwargs)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        got = outcome(lambda: MATRIX.is_unitary(*args, **kwargs))
        if message is not None:
            assert got == ("raise", TypeError, message)
            return
        assert got == outcome(lambda: MATRIX.is_unitary(bound))


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
        assert outcome(lambda: MATRIX.is_unitary(tol)) == want
        assert outcome(lambda: MATRIX.is_unitary(tol=tol)) == want


def test_the_oracle_distinguishes_outcomes():
    """The ctypes oracle itself: a conversion, a renamed TypeError, an exception passed on."""
    assert expected_is_unitary(0.5) == ("ok", True)
    assert expected_is_unitary(-1) == ("ok", False)
    assert expected_is_unitary(math.nan) == ("ok", False)
    assert expected_is_unitary("x") == ("raise", TypeError, "argument 'tol': must be real number, not str")
    assert expected_is_unitary(decimal.Decimal("sNaN"))[:2] == ("raise", ValueError)
    assert expected_is_unitary(10**400)[:2] == ("raise", OverflowError)
