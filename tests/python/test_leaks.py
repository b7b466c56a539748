"""Leak test of the native extension: every callable and every error path, 100,000 calls each.

After a warm-up (lazily made types, caches and free lists settle), the heap and the resident
memory must not grow beyond a small bound over the calls, and the reference counts of the
arguments (and of the types and objects the calls touch) must come back to what they were.

Under AddressSanitizer the resident size measures its quarantine, not the program, so the heap is
read from the sanitizer's own allocator statistics instead. Deselect with `-m "not leak"`.
"""

import ctypes
import gc
import os
import sys
from contextlib import contextmanager, nullcontext
from dataclasses import dataclass, field
from typing import Any, Callable

import pytest

from corvantis import _vellora_core as core
from support import FREE_THREADED, VALUES, stderr_to_devnull

pytestmark = pytest.mark.leak

CALLS = int(os.environ.get("VELLORA_LEAK_CALLS", "100000"))
WARM_UP = 2_000
# A leak of one Python object per call would show as CALLS blocks; stray caches stay far below this.
BLOCK_BOUND = 500
# One leaked allocation per call costs at least 16 bytes; 100,000 of them are 1.6 MB or more.
RSS_BOUND = 1 << 20
HEAP_BOUND = 256 << 10


def _sanitizer_heap():
    """Bytes the AddressSanitizer allocator holds for the program, or None when it is not loaded."""
    try:
        reader = ctypes.CDLL(None).__sanitizer_get_current_allocated_bytes
    except AttributeError:
        return None
    reader.restype = ctypes.c_size_t
    return reader


SANITIZER_HEAP = _sanitizer_heap()
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def fresh(text):
    """An equal str that is neither interned nor immortal, so its reference count is meaningful."""
    return "".join(list(text))


# ---- Arguments and helper objects whose reference counts are watched ----

REGISTRY = core.PyFormulasRegistry()
QUARKS = core.PyQuarkRegistry()
MATRIX = core.PyCKMMatrix.from_topology()
PHI = fresh("phi")
N_GEN = fresh("n_gen")
MISSING = fresh("no such constant")
EMPTY = ""  # the empty str is immortal; its count is not watched
SURROGATE = fresh("bad\ud800name")
SURROGATE_KEYWORD = fresh("\udcffname")
BIG_INT = 10**30
HUGE_INT = 10**400
TOL = float(fresh("0.25"))
NAME_BYTES = fresh("phi").encode()
CAUSE = KeyError("the cause, kept alive by the test")


class Floaty:
    def __float__(self):
        return 0.5


class RaisesValueError:
    def __float__(self):
        raise ValueError("no float here")


class RaisesTypeErrorWithCause:
    def __float__(self):
        raise TypeError("outer") from CAUSE


class ReturnsText:
    def __float__(self):
        return "not a float"


class IndexRaises:
    def __index__(self):
        raise TypeError("no index either")


class Opaque:
    pass


FLOATY, RAISES_VALUE, RAISES_CAUSE = Floaty(), RaisesValueError(), RaisesTypeErrorWithCause()
RETURNS_TEXT, INDEX_RAISES, OPAQUE = ReturnsText(), IndexRaises(), Opaque()


class IdentityJson:
    """Stands in for `json`: loads hands back the very text the extension built."""

    @staticmethod
    def loads(text):
        return text


class BrokenJson:
    @staticmethod
    def loads(text):
        raise ZeroDivisionError("loads failed")


NO_LOADS = Opaque()
N_GEN_TEXT = '{"name":"n_gen","status":"Seed","uncertainty":null,"units":"count","value":3.0}'


@dataclass
class Case:
    id: str
    call: Callable[[], Any]
    raises: type | None = None
    result: Any = None  # checked on the last call of a path that returns
    watched: tuple = ()
    json: Any = "real"  # what sys.modules["json"] holds during the calls
    noisy: bool = False
    check: Callable[[Any], bool] | None = field(default=None)


def cases():
    r, q, m = REGISTRY, QUARKS, MATRIX
    registry_type, quark_type, matrix_type = core.PyFormulasRegistry, core.PyQuarkRegistry, core.PyCKMMatrix
    types = (registry_type, quark_type, matrix_type)
    sheet = core.py_get_constant("n_gen")
    return [
        # Every callable, on its successful path.
        Case("new-registry", lambda: len(registry_type()), result=17, watched=types),
        Case("get", lambda: r.get(PHI), result=VALUES["phi"], watched=(r, PHI)),
        Case("get-keyword", lambda: r.get(name=PHI), result=VALUES["phi"], watched=(r, PHI)),
        Case("len", lambda: len(r), result=17, watched=(r,)),
        Case("version", lambda: (registry_type.version(), r.version()), result=("2.3.0", "2.3.0"), watched=(r,)),
        Case("new-quark-registry", lambda: len(quark_type()), result=0, watched=types),
        Case("quark-len", lambda: len(q), result=0, watched=(q,)),
        Case("from-topology", lambda: matrix_type.from_topology().jarlskog(), result=0.0, watched=types),
        Case("is-unitary", lambda: m.is_unitary(TOL), result=True, watched=(m, TOL)),
        Case("is-unitary-keyword", lambda: m.is_unitary(tol=TOL), result=True, watched=(m, TOL)),
        Case("is-unitary-int", lambda: m.is_unitary(BIG_INT), result=True, watched=(m, BIG_INT)),
        Case("is-unitary-dunder-float", lambda: m.is_unitary(FLOATY), result=True, watched=(FLOATY, Floaty)),
        Case("jarlskog", lambda: m.jarlskog(), result=0.0, watched=(m,)),
        Case("list-constants", lambda: len(core.py_list_constants()), result=17),
        Case("list-quarks", lambda: core.py_list_quarks()[0], result="bottom"),
        Case("get-constant", lambda: core.py_get_constant(N_GEN), result=sheet, watched=(N_GEN,)),
        Case("get-constant-keyword", lambda: core.py_get_constant(name=N_GEN), result=sheet, watched=(N_GEN,)),
        # Binding errors.
        Case("get-missing-argument", lambda: r.get(), TypeError, watched=(r,)),
        Case("get-too-many", lambda: r.get(PHI, PHI), TypeError, watched=(r, PHI)),
        Case("get-multiple-values", lambda: r.get(PHI, name=PHI), TypeError, watched=(r, PHI)),
        Case("get-unexpected-keyword", lambda: r.get(nam=PHI), TypeError, watched=(r, PHI)),
        Case("get-undecodable-keyword", lambda: r.get(**{SURROGATE_KEYWORD: PHI}), TypeError,
             watched=(SURROGATE_KEYWORD, PHI)),
        Case("registry-positional", lambda: registry_type(PHI), TypeError, watched=(PHI, registry_type)),
        Case("registry-keyword", lambda: registry_type(x=PHI), TypeError, watched=(PHI, registry_type)),
        Case("quark-registry-arguments", lambda: quark_type(PHI, x=PHI), TypeError, watched=(PHI, quark_type)),
        Case("ckm-construction-refused", lambda: matrix_type(TOL, tol=TOL), TypeError, watched=(TOL, matrix_type)),
        Case("get-constant-missing-argument", lambda: core.py_get_constant(), TypeError),
        Case("get-constant-too-many", lambda: core.py_get_constant(N_GEN, N_GEN), TypeError, watched=(N_GEN,)),
        Case("is-unitary-missing", lambda: m.is_unitary(), TypeError, watched=(m,)),
        Case("is-unitary-multiple-values", lambda: m.is_unitary(TOL, tol=TOL), TypeError, watched=(m, TOL)),
        Case("noargs-given-one", lambda: m.jarlskog(TOL), TypeError, watched=(m, TOL)),
        Case("list-given-one", lambda: core.py_list_constants(TOL), TypeError, watched=(TOL,)),
        # Calls on an object of the wrong class.
        Case("get-wrong-self", lambda: registry_type.get(OPAQUE, PHI), TypeError, watched=(OPAQUE, Opaque, PHI)),
        Case("len-wrong-self", lambda: registry_type.__len__(q), TypeError, watched=(q,)),
        Case("is-unitary-wrong-self", lambda: matrix_type.is_unitary(r, TOL), TypeError, watched=(r, TOL)),
        Case("jarlskog-wrong-self", lambda: matrix_type.jarlskog(q), TypeError, watched=(q,)),
        # Conversion errors.
        Case("get-int", lambda: r.get(BIG_INT), TypeError, watched=(BIG_INT,)),
        Case("get-object", lambda: r.get(OPAQUE), TypeError, watched=(OPAQUE, Opaque)),
        Case("get-surrogate", lambda: r.get(SURROGATE), UnicodeEncodeError, watched=(SURROGATE,)),
        Case("get-constant-bytes", lambda: core.py_get_constant(NAME_BYTES), TypeError, watched=(NAME_BYTES,)),
        Case("get-constant-surrogate", lambda: core.py_get_constant(SURROGATE), UnicodeEncodeError,
             watched=(SURROGATE,)),
        Case("is-unitary-text", lambda: m.is_unitary(PHI), TypeError, watched=(PHI,)),
        Case("is-unitary-value-error", lambda: m.is_unitary(RAISES_VALUE), ValueError, watched=(RAISES_VALUE,)),
        Case("is-unitary-cause-carried", lambda: m.is_unitary(RAISES_CAUSE), TypeError,
             watched=(RAISES_CAUSE, CAUSE), check=lambda error: error.__cause__ is CAUSE),
        Case("is-unitary-non-float", lambda: m.is_unitary(RETURNS_TEXT), TypeError, watched=(RETURNS_TEXT,)),
        Case("is-unitary-index-raises", lambda: m.is_unitary(INDEX_RAISES), TypeError, watched=(INDEX_RAISES,)),
        Case("is-unitary-overflow", lambda: m.is_unitary(HUGE_INT), OverflowError, watched=(HUGE_INT,)),
        # Lookups that miss, and the internal fault.
        Case("get-key-error", lambda: r.get(MISSING), KeyError, watched=(r, MISSING)),
        Case("get-constant-key-error", lambda: core.py_get_constant(MISSING), KeyError, watched=(MISSING,)),
        Case("get-constant-panic", lambda: core.py_get_constant(EMPTY), "panic", noisy=True),
        # The `json` module replaced in sys.modules.
        Case("json-identity", lambda: core.py_get_constant(N_GEN), result=N_GEN_TEXT, json=IdentityJson,
             watched=(N_GEN, IdentityJson)),
        Case("json-loads-raises", lambda: core.py_get_constant(N_GEN), ZeroDivisionError, json=BrokenJson,
             watched=(N_GEN, BrokenJson)),
        Case("json-import-fails", lambda: core.py_get_constant(N_GEN), ModuleNotFoundError, json=None, watched=(N_GEN,)),
        Case("json-without-loads", lambda: core.py_get_constant(N_GEN), AttributeError, json=NO_LOADS,
             watched=(N_GEN, NO_LOADS)),
    ]


CASES = cases()


def run(case, calls, panic_type):
    """Calls the path `calls` times; every call must end the way the case says."""
    call = case.call
    if case.raises is None:
        result = None
        for _ in range(calls):
            result = call()
        assert result == case.result
        return
    expected = panic_type if case.raises == "panic" else case.raises
    raised = 0
    last = None
    for _ in range(calls):
        try:
            call()
        except expected as error:
            raised += 1
            if type(error) is not expected:
                last = error
            elif case.check is not None and not case.check(error):
                last = error
    assert raised == calls, f"{calls - raised} calls did not raise {expected.__name__}"
    assert last is None, f"unexpected outcome: {last!r}"


@contextmanager
def json_as(replacement):
    if replacement == "real":
        yield
        return
    saved = sys.modules.get("json")
    sys.modules["json"] = replacement
    try:
        yield
    finally:
        sys.modules["json"] = saved


def snapshot(watched):
    gc.collect()
    return (
        sys.getallocatedblocks(),
        resident_bytes(),
        SANITIZER_HEAP() if SANITIZER_HEAP else 0,
        [sys.getrefcount(obj) for obj in watched],
    )


@pytest.mark.parametrize("core", ["native"], indirect=True)  # the panic_type of the extension
@pytest.mark.parametrize("case", CASES, ids=[case.id for case in CASES])
def test_path_does_not_leak(case, panic_type):
    quiet = stderr_to_devnull() if case.noisy else nullcontext()
    with quiet, json_as(case.json):
        run(case, WARM_UP, panic_type)
        blocks, rss, heap, refs = snapshot(case.watched)
        run(case, CALLS, panic_type)
        blocks_after, rss_after, heap_after, refs_after = snapshot(case.watched)

    # A free-threaded 3.14 counts an object with deferred reference counting (a type) once more or
    # once less while the reading frame's own reference is or is not counted, which changes as the
    # interpreter specialises that frame; a leak in the path would add up over CALLS calls.
    slack = 1 if FREE_THREADED else 0
    assert all(abs(after - before) <= slack for before, after in zip(refs, refs_after)), \
        f"reference counts of the arguments changed: {refs} -> {refs_after}"
    assert blocks_after - blocks < BLOCK_BOUND, f"{blocks_after - blocks} more Python blocks after {CALLS} calls"
    if SANITIZER_HEAP:
        # Under AddressSanitizer the resident size is its quarantine; its allocator counts the heap.
        assert heap_after - heap < HEAP_BOUND, f"heap grew {heap_after - heap} bytes over {CALLS} calls"
    else:
        assert rss_after - rss < RSS_BOUND, f"resident memory grew {rss_after - rss} bytes over {CALLS} calls"


def test_every_module_callable_has_a_case():
    """A callable added to the module without a leak case here fails this test."""
    exercised = {
        "PyFormulasRegistry", "PyFormulasRegistry.get", "PyFormulasRegistry.version", "PyFormulasRegistry.__len__",
        "PyQuarkRegistry", "PyQuarkRegistry.__len__", "PyCKMMatrix", "PyCKMMatrix.from_topology",
        "PyCKMMatrix.is_unitary", "PyCKMMatrix.jarlskog", "py_list_constants", "py_list_quarks",
        "py_get_constant",
    }
    present = set()
    for name in core.__all__:
        obj = getattr(core, name)
        if isinstance(obj, type):
            present.add(name)
            present.update(f"{name}.{attr}" for attr, value in vars(obj).items()
                           if callable(value) or isinstance(value, (staticmethod, classmethod))
                           if not attr.startswith("__") or attr == "__len__")
        elif callable(obj):
            present.add(name)
    assert present == exercised
    assert len(CASES) >= 50
