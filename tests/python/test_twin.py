"""The pure-Python twin against the extension, call for call, and the twin's own datasheet writer
and unitarity test, which the extension does not expose to Python."""

import array
import builtins
import collections
import copy
import copyreg
import inspect
import json
import math
import operator
import pathlib
import pickle
import random
import struct
import subprocess
import sys
import types
import warnings
import weakref
from fractions import Fraction

import pytest

from corvantis import _pyvellora
from support import HANG_TIMEOUT

# The twin is Python-level: its tests run once per version, on the checkout.
pytestmark = pytest.mark.python_level


def outcome(call, module):
    """A call's result or exception (type, text, cause type) and its warnings, with the names of
    the two modules and the `builtins.` prefix of the extension's types made equal."""

    def same(text):
        for name in ("corvantis._vellora_core", "corvantis._pyvellora", "builtins."):
            text = text.replace(name, "")
        return text

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = call(module)
        except BaseException as error:  # noqa: BLE001 - faults included
            happened = (type(error).__name__, same(str(error)), type(error.__cause__).__name__)
        else:
            happened = (type(result).__name__, same(repr(result)) if type(result).__module__ == "builtins" else "")
    return happened, [(w.category.__name__, same(str(w.message))) for w in caught]


class Name(str):
    __eq__ = lambda self, other: False  # noqa: E731
    __hash__ = lambda self: 0  # noqa: E731


def obj(**methods):
    return type("Obj", (), methods)()


class F(float):
    pass


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


def conversion_error_without_text(cause):
    """A tolerance whose conversion fails with an error that cannot be written out."""

    def convert(self):
        raise TypeError(Unprintable()) from cause

    return obj(__float__=convert)


def ckm(m):
    return m.PyCKMMatrix.from_topology()


class LookAlike:
    __slots__ = ("_records",)  # as the twin's registry was once laid out


def posing_as(cls):
    """A LookAlike turned into an instance of `cls`, where __class__ assignment lets it through."""
    impostor = LookAlike()
    impostor._records = {}
    try:
        impostor.__class__ = cls
    except TypeError:
        pass
    return impostor


def renamed(cls, call):
    """call(cls) while the class is named "Renamed"."""
    name, cls.__name__ = cls.__name__, "Renamed"
    try:
        return call(cls)
    finally:
        cls.__name__ = name


def with_attribute(cls, name, value, call):
    """call(cls) while cls.<name> is `value` (deleted for None), then with the class's own again."""
    own = vars(cls).get(name)
    if value is None:
        delattr(cls, name)
    else:
        setattr(cls, name, value)
    try:
        return call(cls)
    finally:
        if own is not None:
            setattr(cls, name, own)
        elif name in vars(cls):
            delattr(cls, name)


CALLS = {
    "list_constants args": lambda m: m.py_list_constants(1),
    "get_constant too many": lambda m: m.py_get_constant(1, 2, name=3),
    "get_constant unknown keyword": lambda m: m.py_get_constant(1, x=2),
    "get_constant surrogate keyword": lambda m: m.py_get_constant(**{"\ud800": 1}),
    "get_constant str subclass": lambda m: m.py_get_constant(Name("phi")),
    "get_constant surrogate": lambda m: m.py_get_constant("a\udcffb"),
    "get_constant empty": lambda m: m.py_get_constant(name=""),
    "registry new": lambda m: m.PyFormulasRegistry(1, x=2),
    "get no self": lambda m: m.PyFormulasRegistry.get(),
    "get wrong self": lambda m: m.PyFormulasRegistry.get(m.PyQuarkRegistry(), "phi"),
    "get self keyword": lambda m: m.PyFormulasRegistry.get(self=m.PyFormulasRegistry(), name="phi"),
    "version keyword": lambda m: m.PyFormulasRegistry.version(x=1),
    "len no self": lambda m: m.PyFormulasRegistry.__len__(),
    "len wrong self": lambda m: m.PyQuarkRegistry.__len__(m.PyFormulasRegistry()),
    "len argument": lambda m: m.PyFormulasRegistry().__len__(1),
    "weak reference": lambda m: weakref.ref(m.PyQuarkRegistry()),
    "new attribute": lambda m: setattr(m.PyFormulasRegistry(), "x", 1),
    "subclass": lambda m: type("Sub", (m.PyFormulasRegistry,), {}),
    "from_topology keyword": lambda m: ckm(m).from_topology(x=1),
    "jarlskog argument": lambda m: ckm(m).jarlskog(1),
    "jarlskog wrong self": lambda m: m.PyCKMMatrix.jarlskog(1),
    "is_unitary no self": lambda m: m.PyCKMMatrix.is_unitary(),
    "is_unitary binds first": lambda m: ckm(m).is_unitary("x", tol=1),
    "tol module instance": lambda m: ckm(m).is_unitary(m.PyQuarkRegistry()),
    "tol bytes": lambda m: ckm(m).is_unitary(b"1"),
    "tol fraction": lambda m: ckm(m).is_unitary(Fraction(-1, 3)),
    "tol __float__ None": lambda m: ckm(m).is_unitary(obj(__float__=None)),
    "tol __float__ subclass": lambda m: ckm(m).is_unitary(obj(__float__=lambda self: F(0.5))),
    "tol static __float__": lambda m: ckm(m).is_unitary(obj(__float__=staticmethod(lambda: 2.0))),
    "tol __index__ str": lambda m: ckm(m).is_unitary(obj(__index__=lambda self: "1")),
    "tol __index__ huge": lambda m: ckm(m).is_unitary(obj(__index__=lambda self: 10**400)),
    "tol subnormal": lambda m: ckm(m).is_unitary(5e-324),
    # Types from extension modules are named as the interpreter names them ("array.array").
    "tol array": lambda m: ckm(m).is_unitary(array.array("d")),
    "tol deque": lambda m: ckm(m).is_unitary(collections.deque()),
    "jarlskog deque self": lambda m: m.PyCKMMatrix.jarlskog(collections.deque()),
    "tol error text fails": lambda m: ckm(m).is_unitary(conversion_error_without_text(KeyError("cause"))),
    "new of another class": lambda m: m.PyFormulasRegistry.__new__(m.PyQuarkRegistry),
    "new of nothing": lambda m: m.PyQuarkRegistry.__new__(),
    "new of a non-type": lambda m: m.PyCKMMatrix.__new__(1),
    "matrix new of another class": lambda m: m.PyCKMMatrix.__new__(m.PyFormulasRegistry),
    "class assignment": lambda m: setattr(m.PyFormulasRegistry(), "__class__", m.PyQuarkRegistry),
    "class assignment from a look-alike": lambda m: posing_as(m.PyFormulasRegistry).get("phi"),
    "state": lambda m: m.PyFormulasRegistry().__getstate__(),
    "state assignment": lambda m: setattr(ckm(m), "_elements", ()),
    "copy": lambda m: copy.copy(m.PyFormulasRegistry()),
    "deepcopy": lambda m: copy.deepcopy(ckm(m)),
    "pickle": lambda m: pickle.dumps(m.PyQuarkRegistry()),
    "pickle protocol 0": lambda m: pickle.dumps(m.PyFormulasRegistry(), 0),
    # The base reduction, which serializers fall back on where pickle and copy ask the class.
    "object.__reduce__": lambda m: object.__reduce__(m.PyFormulasRegistry()),
    "copyreg._reduce_ex": lambda m: copyreg._reduce_ex(ckm(m), 0),
    # The twin cannot refuse object.__new__ itself; its unmade instance refuses its first use.
    "object new registry": lambda m: object.__new__(m.PyFormulasRegistry).get("phi"),
    "object new matrix": lambda m: object.__new__(m.PyCKMMatrix).jarlskog(),
    "object new registry, int name": lambda m: object.__new__(m.PyFormulasRegistry).get(123),
    "object new matrix, bad tol": lambda m: object.__new__(m.PyCKMMatrix).is_unitary(obj(__float__=None)),
    # The interpreter's own messages about a call name the callable.
    "method keyword given twice": lambda m: ckm(m).is_unitary(**{"tol": 1}, **{"tol": 2}),
    "class keyword given twice": lambda m: m.PyQuarkRegistry(**{"x": 1}, **{"x": 2}),
    "renamed class": lambda m: renamed(m.PyCKMMatrix, lambda cls: cls()),
    "renamed class, unbound method": lambda m: renamed(m.PyCKMMatrix, lambda cls: cls.jarlskog()),
    # The interpreter keeps a type's own constructor unless a __new__ written in Python replaces it.
    "__new__ deleted": lambda m: len(with_attribute(m.PyFormulasRegistry, "__new__", None, lambda cls: cls())),
    "__new__ set to object.__new__": lambda m: with_attribute(m.PyCKMMatrix, "__new__", object.__new__, lambda cls: cls()),
    # As after any constructor, an __init__ set from Python runs, and must return None.
    "__init__ set": lambda m: with_attribute(m.PyQuarkRegistry, "__init__", lambda self: 1, lambda cls: cls()),
    "__self__ of the static methods": lambda m: (m.PyFormulasRegistry.version.__self__, ckm(m).from_topology.__self__),
    "unknown attribute": lambda m: m.PyFormulasRegistry().nope,
    # The stub's, which the package's tests hold equal to the extension's.
    "__all__": lambda m: m.__all__,
}


def texts(m, path):
    """What help() shows of the object at dotted `path` in module `m`: its docstring and text
    signature, and for a class's __new__ what makes it the interpreter's own."""
    obj = operator.attrgetter(path)(m) if path else m
    shown = (obj.__doc__, getattr(obj, "__text_signature__", None))
    if path.endswith(".__new__"):
        shown += (obj.__qualname__, obj.__self__ is getattr(m, path.split(".")[0]),
                  isinstance(obj, types.BuiltinMethodType), str(inspect.signature(obj)))
    return shown


MEMBERS = {
    "PyFormulasRegistry": ["__new__", "get", "version", "__len__"],
    "PyQuarkRegistry": ["__new__", "__len__"],
    "PyCKMMatrix": ["__new__", "from_topology", "is_unitary", "jarlskog"],
}
PATHS = ["", "py_list_constants", "py_list_quarks", "py_get_constant"]
PATHS += [path for cls, members in MEMBERS.items() for path in [cls, *(f"{cls}.{member}" for member in members)]]
CALLS.update({f"texts of {path or 'the module'}": (lambda m, path=path: texts(m, path)) for path in PATHS})


@pytest.mark.parametrize("call", list(CALLS.values()), ids=list(CALLS))
def test_twin_matches_the_extension(native, twin, call, capfd):
    assert outcome(call, twin) == outcome(call, native)


# -OO (PYTHONOPTIMIZE=2, common in container images) strips the docstrings written in Python, while
# the extension's texts live in C: each comparison must hold there too.
OPTIMIZED_RUNS = [
    "test_twin.py::test_twin_matches_the_extension",
    "test_module.py::test_docstrings_and_text_signatures",
    "test_formulas_registry.py::test_panic_is_not_an_exception_and_leaves_the_module_usable",
]


def test_the_comparisons_hold_with_docstrings_stripped():
    here = pathlib.Path(__file__).parent
    run = subprocess.run(
        [sys.executable, "-OO", "-m", "pytest", "-q", "-p", "no:cacheprovider", *(str(here / test) for test in OPTIMIZED_RUNS)],
        capture_output=True, text=True, timeout=HANG_TIMEOUT,
    )
    assert run.returncode == 0, run.stdout[-5000:] + run.stderr


def warning_first(function):
    """`function`, warning first as a library warns about its caller: at stacklevel 2 (not again
    while it warns: warnings.warn may import)."""
    warning = []

    def warned(*args, **kwargs):
        if not warning:
            warning.append(True)
            try:
                warnings.warn("others' code warns", DeprecationWarning, stacklevel=2)
            finally:
                warning.clear()
        return function(*args, **kwargs)

    return warned


# Each call on one line, which the warning must name. The extension has no frame of its own, so a
# warning at stacklevel 2 from what it calls (the interpreter's conversion, json.loads, an import
# hook) is put on that line, and is filtered by that line's module.
WARNING_CALLS = {
    "__index__ bool": (None, lambda m: ckm(m).is_unitary(obj(__index__=lambda self: True))),
    "__float__ float subclass": (None, lambda m: ckm(m).is_unitary(obj(__float__=lambda self: F(0.5)))),
    "json.loads": ((json, "loads"), lambda m: m.py_get_constant("phi")),
    "__import__ hook": ((builtins, "__import__"), lambda m: m.py_get_constant("phi")),
}


@pytest.mark.parametrize("wrapped, call", list(WARNING_CALLS.values()), ids=list(WARNING_CALLS))
def test_warning_from_what_a_call_calls_points_at_the_caller(core, monkeypatch, wrapped, call):
    if wrapped is not None:
        monkeypatch.setattr(*wrapped, warning_first(getattr(*wrapped)))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        call(core)
    assert [(w.category, w.filename, w.lineno) for w in caught] == [(DeprecationWarning, __file__, call.__code__.co_firstlineno)]


def test_fault_report_points_at_the_twin_source(twin, capfd):
    with pytest.raises(BaseException):
        twin.py_get_constant("")
    first, second = capfd.readouterr().err.splitlines()
    assert first.startswith("vellora_core: internal fault at corvantis/_pyvellora.py:")
    line = open(twin.__file__, encoding="utf-8").read().splitlines()[int(first.split(":")[2]) - 1]
    assert "name must be non-empty" in line and second == "  py_get_constant: name must be non-empty"


@pytest.mark.parametrize(
    "value, text",
    [
        (0.0, "0.0"), (-0.0, "-0.0"), (288.0, "288.0"), (1e15, "1000000000000000.0"), (1776.86, "1776.86"),
        (1e-4, "0.0001"), (1.25e-5, "0.0000125"), (1e16, "1e+16"), (-1.5e16, "-1.5e+16"), (1e-6, "1e-6"),
        (1.25e-7, "1.25e-7"), (5e-324, "5e-324"), (1.7976931348623157e308, "1.7976931348623157e+308"),
        (math.nan, "null"), (-math.inf, "null"),
    ],
)
def test_json_number_layout(value, text):
    assert _pyvellora._json_number(value) == text


def test_json_number_reads_back_exactly_with_the_shortest_digits():
    generator = random.Random(20240613)
    for _ in range(20000):
        value = struct.unpack("<d", generator.getrandbits(64).to_bytes(8, "little"))[0]
        text = _pyvellora._json_number(value)
        if not math.isfinite(value):
            assert text == "null"
            continue
        assert struct.pack("<d", float(text)) == struct.pack("<d", value), text
        mantissa, _, exponent = text.lstrip("-").partition("e")
        assert mantissa.replace(".", "").strip("0") == repr(abs(value)).partition("e")[0].replace(".", "").strip("0")
        if exponent:
            assert not -5 <= int(exponent) <= 15 and not exponent.lstrip("+-").startswith("0"), text
        else:
            assert "." in text and not text.endswith("."), text


def test_datasheet_text_escapes_strings_and_nulls_non_finite_numbers():
    record = _pyvellora._Record('q"b\\\b\t\n\f\r\0\x1f\x7f\u00b5\U0001f600', math.nan, "m/s", "Seed")
    record.uncertainty = 1e-7
    assert _pyvellora._datasheet_json(record) == (
        '{"name":"q\\"b\\\\\\b\\t\\n\\f\\r\\u0000\\u001f\x7f\u00b5\U0001f600","status":"Seed",'
        '"uncertainty":1e-7,"units":"m/s","value":null}'
    )


NAN, INF = math.nan, math.inf
IDENTITY = ((1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0))
TWIN_ROWS = ((1.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 0.0, 1.0))  # unit rows, not orthogonal


@pytest.mark.parametrize(
    "rows, tol, expected",
    [
        (((-1.0, 0.0, 0.0), (0.0, -0.0, 1.0), (0.0, 1.0, 0.0)), 0.0, True),
        (((0.6, 0.8, 0.0), (-0.8, 0.6, 0.0), (0.0, 0.0, 1.0)), 2.0**-52, True),
        (TWIN_ROWS, 0.999, False), (TWIN_ROWS, 1.0, True),
        (((1.0005, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0)), 1e-3, False),  # 1.0005² = 1.00100025
        (((1.0005, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0)), 1.0011e-3, True),
        (((1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, NAN)), INF, False),
        (((1.0, 0.0, 0.0), (0.0, 1.0, NAN), (0.0, 0.0, 1.0)), INF, False),
        (((INF, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0)), INF, False),
        (((1.0, 0.0, 0.0), (0.0, 1e200, 0.0), (0.0, 0.0, 1.0)), INF, False),
        (IDENTITY, NAN, False),
    ],
)
def test_is_unitary_checks_every_entry_of_v_vt(rows, tol, expected):
    assert _pyvellora._ckm_matrix(rows, 2.5e-5).is_unitary(tol) is expected
    assert _pyvellora._ckm_matrix(rows, 2.5e-5).jarlskog() == 2.5e-5
