"""Hostile and odd arguments to get, py_get_constant and is_unitary, on the extension and on its
twin alike: each call ends in a result or an ordinary exception with the documented type and text,
the same on both, never a crash or a corrupted object."""

import copy
import ctypes
import math
import pickle
import subprocess
import sys
import warnings

import pytest

import corvantis
from support import EMULATED, FREE_THREADED, HANG_TIMEOUT, VALUES, stderr_to_devnull

PHI = VALUES["phi"]
TEN_MB = 10 * 1024 * 1024


def not_found(name):
    return f"constant `{name}` not found in registry"


@pytest.fixture
def registry(core):
    return core.PyFormulasRegistry()


@pytest.fixture
def matrix(core):
    return core.PyCKMMatrix.from_topology()


# ---- str subclasses: the extension reads the characters, never the Python-level behaviour ----


class Deceitful(str):
    """Every Python-level hook lies or raises; none of them may be consulted."""

    def __eq__(self, other):
        raise RuntimeError("__eq__ called")

    def __ne__(self, other):
        raise RuntimeError("__ne__ called")

    def __hash__(self):
        raise RuntimeError("__hash__ called")

    def __len__(self):
        return 10**6

    def __bool__(self):
        raise RuntimeError("__bool__ called")

    def __str__(self):
        return "n_gen"

    def __getitem__(self, index):
        raise RuntimeError("__getitem__ called")

    def encode(self, *args, **kwargs):
        raise RuntimeError("encode called")


class AlwaysEqual(str):
    def __eq__(self, other):
        return True

    def __hash__(self):
        return hash("phi")


@pytest.mark.parametrize("cls", [Deceitful, AlwaysEqual])
def test_str_subclass_name_is_read_by_its_characters(core, registry, cls):
    assert registry.get(cls("phi")) == PHI
    assert registry.get(name=cls("phi")) == PHI
    assert core.py_get_constant(cls("phi"))["value"] == PHI
    assert corvantis.get_constant(cls("phi"))["value"] == PHI
    for name in ("nope", ""):
        with pytest.raises(KeyError) as raised:
            registry.get(cls(name))
        assert raised.value.args == (not_found(name),)
        with pytest.raises(KeyError) as raised:
            corvantis.get_constant(cls(name))
        assert raised.value.args == (not_found(name),)


class EqualityRaises(str):
    """Hashable (a keyword dictionary needs that), but comparing it raises."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        raise RuntimeError("__eq__ called")


@pytest.mark.parametrize("cls", [EqualityRaises, AlwaysEqual])
def test_str_subclass_as_keyword_name_binds_by_its_characters(registry, cls):
    assert registry.get(**{cls("name"): "phi"}) == PHI
    with pytest.raises(TypeError, match="unexpected keyword argument 'nam'"):
        registry.get(**{cls("nam"): "phi"})


def test_str_subclass_tol_is_not_a_number(matrix):
    with pytest.raises(TypeError) as raised:
        matrix.is_unitary(Deceitful("0.5"))
    assert str(raised.value) == "argument 'tol': must be real number, not Deceitful"


def test_str_subclass_with_lone_surrogate(core, registry):
    with pytest.raises(UnicodeEncodeError):
        registry.get(AlwaysEqual("ph\udc80i"))
    with pytest.raises(UnicodeEncodeError):
        core.py_get_constant(AlwaysEqual("\ud800"))


# ---- Non-str names ----


class F(float):
    pass


class FloatOverridesFloat(float):
    def __float__(self):
        return -1.0


@pytest.mark.parametrize(
    "name, type_name",
    [
        (F(1.0), "F"), (b"phi", "bytes"), (bytearray(b"phi"), "bytearray"), (memoryview(b"phi"), "memoryview"),
        (["phi"], "list"), (None, "NoneType"), (1.5, "float"), (object(), "object"),
    ],
)
def test_non_str_names_are_conversion_errors(core, registry, name, type_name):
    message = f"argument 'name': '{type_name}' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError) as raised:
        registry.get(name)
    assert str(raised.value) == message
    with pytest.raises(TypeError) as raised:
        core.py_get_constant(name)
    assert str(raised.value) == message


@pytest.mark.parametrize("keyword, shown", [(1, "1"), (b"name", "b'name'")])
def test_non_str_keyword_from_a_c_caller(core, skip_twin, keyword, shown):
    # Python refuses such keywords before any call; a C caller can pass them straight to the type.
    skip_twin("the interpreter refuses a keyword that is not a str before any function written in Python runs")
    call = ctypes.pythonapi.PyObject_Call
    call.argtypes = [ctypes.py_object] * 3
    call.restype = ctypes.py_object
    with pytest.raises(TypeError) as raised:
        call(core.PyFormulasRegistry, (), {keyword: 2})
    assert str(raised.value) == f"PyFormulasRegistry.__new__() got an unexpected keyword argument '{shown}'"


# ---- Tolerances that are not plain floats ----


def test_float_subclass_tol_uses_the_stored_value(matrix):
    assert matrix.is_unitary(F(0.5)) is True
    assert matrix.is_unitary(F(-0.5)) is False
    assert matrix.is_unitary(F("nan")) is False
    # A float subclass carries its value; an overriding __float__ is not consulted.
    assert matrix.is_unitary(FloatOverridesFloat(0.5)) is True


class FloatReturns:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class FloatRaises:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


class IndexOnly:
    def __init__(self, action):
        self.action = action

    def __index__(self):
        return self.action()


class Quit(BaseException):
    pass


def _raise(error):
    raise error


def interpreters_words(tol):
    """The interpreter's own message for a value that it cannot make a float of, renamed."""
    try:
        float(tol)
    except TypeError as error:
        return f"argument 'tol': {error}"
    raise AssertionError(f"{tol!r} converts")


# A message of None is the interpreter's own, which differs between versions.
@pytest.mark.parametrize(
    "tol, exception, message",
    [
        (FloatReturns("1.0"), TypeError, None),
        (FloatReturns(None), TypeError, None),
        (FloatReturns(1), TypeError, None),
        (FloatRaises(ValueError("bad value")), ValueError, "bad value"),
        (FloatRaises(TypeError("bad type")), TypeError, "argument 'tol': bad type"),
        (FloatRaises(ZeroDivisionError("zero")), ZeroDivisionError, "zero"),
        (FloatRaises(MemoryError()), MemoryError, ""),
        (FloatRaises(Quit("stop")), Quit, "stop"),
        (FloatRaises(RecursionError("deep")), RecursionError, "deep"),
        (IndexOnly(lambda: _raise(TypeError("no index"))), TypeError, "argument 'tol': no index"),
        (IndexOnly(lambda: _raise(ValueError("index value"))), ValueError, "index value"),
        (IndexOnly(lambda: "3"), TypeError, None),
        (IndexOnly(lambda: 10**400), OverflowError, "int too large to convert to float"),
    ],
    ids=lambda value: type(value).__name__ if not isinstance(value, str) else None,
)
def test_hostile_tolerances_raise_ordinary_exceptions(matrix, tol, exception, message):
    with pytest.raises(exception) as raised:
        matrix.is_unitary(tol)
    assert type(raised.value) is exception
    assert str(raised.value) == (message if message is not None else interpreters_words(tol))
    with pytest.raises(exception):
        matrix.is_unitary(tol=tol)
    assert matrix.is_unitary(0.0) is True  # the matrix is untouched


@pytest.mark.parametrize("tol, expected", [(IndexOnly(lambda: 0), True), (IndexOnly(lambda: -1), False),
                                           (IndexOnly(lambda: 10**300), True), (FloatReturns(math.inf), True),
                                           (FloatReturns(-math.inf), False), (FloatReturns(math.nan), False)])
def test_tolerances_converted_through_hooks(matrix, tol, expected):
    assert matrix.is_unitary(tol) is expected


def test_float_subclass_returned_from_dunder_float_follows_the_warning_filter(matrix):
    tol = FloatReturns(F(0.5))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        assert matrix.is_unitary(tol) is True
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):  # not a TypeError: passed on unrenamed
            matrix.is_unitary(tol)


def test_reentrant_tolerance_calls_back_into_the_extension(matrix, registry):
    """__float__ calls the same matrix (and a registry) again while the outer call is running."""

    class Reentrant:
        depth = 0

        def __float__(self):
            Reentrant.depth += 1
            if Reentrant.depth < 50:
                assert matrix.is_unitary(self) is True
            assert registry.get("phi") == PHI
            return 0.0

    assert matrix.is_unitary(Reentrant()) is True
    assert Reentrant.depth == 50


# ---- Huge names and names of NUL bytes ----


@pytest.mark.parametrize(
    "name",
    [
        "x" * TEN_MB,
        "\u00e9" * (TEN_MB // 2),  # 10 MB of UTF-8, two bytes a character
        "\U0001F600" * (TEN_MB // 4),
        "\0",
        "\0" * 1000,
        "\0" * TEN_MB,
        "phi" + "\0" * TEN_MB,
    ],
    ids=["10MB-ascii", "10MB-two-byte", "10MB-four-byte", "one-nul", "1000-nuls", "10MB-nuls", "phi-then-nuls"],
)
def test_huge_and_nul_names_are_key_errors_carrying_the_name(core, registry, matrix, name):
    with pytest.raises(KeyError) as raised:
        registry.get(name)
    assert raised.value.args[0] == not_found(name)
    with pytest.raises(KeyError) as raised:
        core.py_get_constant(name)
    assert raised.value.args[0] == not_found(name)
    with pytest.raises(TypeError) as raised:
        matrix.is_unitary(name)
    assert str(raised.value) == "argument 'tol': must be real number, not str"


def test_empty_name_after_huge_ones_still_faults_cleanly(core, registry):
    with stderr_to_devnull():
        with pytest.raises(BaseException) as raised:
            core.py_get_constant("")
    assert not isinstance(raised.value, Exception)
    assert raised.value.args == ("py_get_constant: name must be non-empty",)
    assert registry.get("phi") == PHI and len(registry) == 17


# A copy of the name that cannot be allocated: the C++ allocation failure crosses the core, is
# unwound through its frames and becomes MemoryError. Run in a fresh interpreter under an address-
# space limit, so that nothing else in the test run meets the limit.
ALLOCATION_FAILURE = """
import importlib, resource, sys
core = importlib.import_module("corvantis." + sys.argv[2])

call = {"get": core.PyFormulasRegistry().get, "py_get_constant": core.py_get_constant}[sys.argv[1]]
name = "x" * (64 << 20)
with open("/proc/self/statm") as statm:
    mapped = int(statm.read().split()[0]) * resource.getpagesize()
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (mapped + (16 << 20), hard))
try:
    call(name)
except MemoryError:
    outcome = "MemoryError"
finally:
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(outcome, core.PyFormulasRegistry().get("phi"))
"""


@pytest.mark.skipif(hasattr(ctypes.CDLL(None), "__asan_init"), reason="the sanitizer's allocator aborts instead")
@pytest.mark.skipif(EMULATED, reason="qemu-user's own mappings count against RLIMIT_AS")
@pytest.mark.parametrize("module", ["_vellora_core", "_pyvellora"])
@pytest.mark.parametrize("call", ["get", "py_get_constant"])
def test_allocation_failure_in_the_core_is_a_memory_error(call, module):
    if module == "_pyvellora" and FREE_THREADED:
        pytest.skip("the free-threaded build's allocator serves the twin from address space it reserved beforehand")
    done = subprocess.run([sys.executable, "-c", ALLOCATION_FAILURE, call, module], capture_output=True, text=True,
                          timeout=HANG_TIMEOUT)
    assert (done.returncode, done.stdout, done.stderr) == (0, f"MemoryError {PHI}\n", "")


# ---- Misuse of the classes themselves ----
# Each scenario runs in a fresh interpreter: it changes the module's classes, and a crash there
# shows as an exit status instead of taking the test run down.

MISUSE = """
import importlib, sys
core = importlib.import_module("corvantis." + sys.argv[2])

cls = getattr(core, sys.argv[1])
# A __new__ written in Python is no longer the extension's: object.__new__ then accepts the class
# and hands back an instance whose native value was never built. It is set past any metaclass too.
setter = {"setattr": setattr, "type.__setattr__": type.__setattr__}[sys.argv[3]]
setter(cls, "__new__", lambda cls, *args, **kwargs: object.__new__(cls))
obj = cls()
calls = {
    "PyFormulasRegistry": [len, lambda o: o.get("phi"), lambda o: o.get(name="x")],
    "PyQuarkRegistry": [len],
    "PyCKMMatrix": [lambda o: o.is_unitary(0.0), lambda o: o.jarlskog()],
}[sys.argv[1]]
for call in calls:
    try:
        call(obj)
    except TypeError as error:
        print(error)
    else:
        print("no error")
del obj  # released without ever having been built
print("released")
"""


@pytest.mark.parametrize("setter", ["setattr", "type.__setattr__"])
@pytest.mark.parametrize("module", ["_vellora_core", "_pyvellora"])
@pytest.mark.parametrize("class_name, calls", [("PyFormulasRegistry", 3), ("PyQuarkRegistry", 1), ("PyCKMMatrix", 2)])
def test_instances_made_without_the_constructor_refuse_every_call(class_name, calls, module, setter):
    result = subprocess.run([sys.executable, "-c", MISUSE, class_name, module, setter], capture_output=True, text=True,
                            timeout=HANG_TIMEOUT)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.splitlines() == [f"{class_name} object was made without its constructor"] * calls + [
        "released"
    ]


@pytest.mark.parametrize("class_name", ["PyFormulasRegistry", "PyQuarkRegistry", "PyCKMMatrix"])
def test_class_level_misuse_is_refused(core, class_name):
    cls = getattr(core, class_name)
    if core.__name__ == "corvantis._vellora_core":  # the twin's instance refuses its first use instead
        with pytest.raises(TypeError, match="is not safe"):
            object.__new__(cls)
    for other in {"PyFormulasRegistry", "PyQuarkRegistry", "PyCKMMatrix"} - {class_name}:
        with pytest.raises(TypeError, match="is not a subtype"):
            cls.__new__(getattr(core, other))
    instance = core.PyCKMMatrix.from_topology() if class_name == "PyCKMMatrix" else cls()
    for other in {"PyFormulasRegistry", "PyQuarkRegistry", "PyCKMMatrix"} - {class_name}:
        with pytest.raises(TypeError, match="layout differs"):
            instance.__class__ = getattr(core, other)
    for duplicate in (copy.copy, copy.deepcopy, pickle.dumps):
        with pytest.raises(TypeError, match="cannot pickle"):
            duplicate(instance)
