"""Thread stress of the native extension: eight threads share one registry, one quark registry and
one CKM matrix and call every callable, error paths included, released together by a barrier.

With a GIL, the interpreter switches threads every few microseconds here (instead of every 5 ms),
so calls that run Python code inside the extension (importing `json`, `json.loads`, `__float__`)
are interleaved with calls on the same objects from other threads. On a free-threaded interpreter
the threads run in parallel, the GIL off. Every result is checked.
"""

import os
import struct
import subprocess
import sys
import sysconfig
import threading
import time
from contextlib import contextmanager

import pytest

from corvantis import _vellora_core as core
from support import EMULATED, FREE_THREADED, HANG_TIMEOUT, NAMES, QUARKS, VALUES, stderr_to_devnull

THREADS = 8
SECONDS = float(os.environ.get("VELLORA_THREAD_SECONDS", "2.0"))



def bits(x):
    return struct.pack("<d", x)


class SlowFloat:
    """A tolerance whose conversion runs Python code and gives other threads the interpreter."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


@contextmanager
def fast_thread_switching():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        yield
    finally:
        sys.setswitchinterval(previous)


def operations(registry, quarks, matrix, panic):
    """(label, call, check) triples; check gets the result and says whether it is right."""

    def raises(exception_type, call, message=None):
        def run():
            try:
                call()
            except exception_type as error:
                return type(error) is exception_type and (message is None or str(error) == message)
            return False

        return run

    ops = []
    for name in NAMES:
        ops.append((f"get {name}", lambda n=name: registry.get(n), lambda v, n=name: bits(v) == bits(VALUES[n])))
    for name in ("phi", "w0_central", "sterile_check"):
        ops.append((
            f"py_get_constant {name}",
            lambda n=name: core.py_get_constant(n),
            lambda sheet, n=name: sheet["name"] == n and bits(sheet["value"]) == bits(VALUES[n])
            and sheet["uncertainty"] is None and list(sheet) == ["name", "status", "uncertainty", "units", "value"],
        ))
    ops += [
        ("get keyword", lambda: registry.get(name="phi"), lambda v: v == VALUES["phi"]),
        ("len", lambda: len(registry), lambda n: n == 17),
        ("version", lambda: (registry.version(), core.PyFormulasRegistry.version()), lambda v: v == ("2.3.0",) * 2),
        ("new registry", lambda: core.PyFormulasRegistry(), lambda r: len(r) == 17 and r.get("b3") == 24.0),
        ("list constants", core.py_list_constants, lambda names: names == NAMES),
        ("list quarks", core.py_list_quarks, lambda names: names == QUARKS),
        ("quark registry", lambda: (len(quarks), len(core.PyQuarkRegistry())), lambda v: v == (0, 0)),
        ("from_topology", lambda: core.PyCKMMatrix.from_topology(), lambda m: m.is_unitary(0.0) and m.jarlskog() == 0.0),
        ("is_unitary", lambda: (matrix.is_unitary(0.0), matrix.is_unitary(-1e-300), matrix.is_unitary(tol=float("nan"))),
         lambda v: v == (True, False, False)),
        ("is_unitary converting", lambda: (matrix.is_unitary(SlowFloat(1.0)), matrix.is_unitary(SlowFloat(-1.0))),
         lambda v: v == (True, False)),
        ("jarlskog", matrix.jarlskog, lambda j: j == 0.0 and type(j) is float),
        ("missing name", raises(KeyError, lambda: registry.get("nope"), "'constant `nope` not found in registry'"),
         bool),
        ("missing datasheet", raises(KeyError, lambda: core.py_get_constant("nope")), bool),
        ("binding error", raises(TypeError, lambda: registry.get("a", name="b"),
                                 "PyFormulasRegistry.get() got multiple values for argument 'name'"), bool),
        ("conversion error", raises(TypeError, lambda: registry.get(1),
                                    "argument 'name': 'int' object cannot be converted to 'PyString'"), bool),
        ("tol error", raises(TypeError, lambda: matrix.is_unitary("x"), "argument 'tol': must be real number, not str"),
         bool),
        ("surrogate", raises(UnicodeEncodeError, lambda: registry.get("\ud800")), bool),
        ("wrong self", raises(TypeError, lambda: core.PyCKMMatrix.jarlskog(registry)), bool),
        ("construction refused", raises(TypeError, lambda: core.PyCKMMatrix(), "No constructor defined for PyCKMMatrix"),
         bool),
        ("panic", raises(panic, lambda: core.py_get_constant(""), "py_get_constant: name must be non-empty"), bool),
    ]
    return ops


@pytest.mark.skipif(not FREE_THREADED, reason="only a free-threaded interpreter can run without the GIL")
def test_import_leaves_the_gil_off():
    # A fresh process, the GIL left to the interpreter's choice: a module that does not declare
    # itself safe without the GIL turns it on for the whole process, with a RuntimeWarning.
    environment = {key: value for key, value in os.environ.items() if key != "PYTHON_GIL"}
    script = f"import sys, {core.__name__}; print(sys._is_gil_enabled())"
    run = subprocess.run([sys.executable, "-c", script], env=environment, capture_output=True, text=True, timeout=HANG_TIMEOUT)
    assert (run.returncode, run.stdout, run.stderr) == (0, "False\n", "")


@pytest.mark.parametrize("core", ["native"], indirect=True)  # the panic_type of the extension
def test_eight_threads_share_every_object(panic_type):
    # Nothing imported by this session turned the GIL back on: the threads below run in parallel.
    assert not (FREE_THREADED and sys._is_gil_enabled())
    registry, quarks, matrix = core.PyFormulasRegistry(), core.PyQuarkRegistry(), core.PyCKMMatrix.from_topology()
    ops = operations(registry, quarks, matrix, panic_type)
    lock = threading.Lock()
    wrong, errors = [], []
    deadline = []
    # The clock starts when the last thread arrives, so a slow start on a loaded machine costs no calls.
    barrier = threading.Barrier(THREADS, action=lambda: deadline.append(time.monotonic() + SECONDS))

    def worker(index):
        try:
            barrier.wait(timeout=HANG_TIMEOUT)
            stop = deadline[0]
            step = 0
            # Every thread goes round the whole list of operations at least once, however slowly it is scheduled.
            while step < len(ops) or time.monotonic() < stop:
                # Each thread walks the operations from its own start, so different calls overlap.
                label, call, check = ops[(index * 7 + step) % len(ops)]
                result = call()
                if not check(result):
                    with lock:
                        wrong.append((index, label, result))
                step += 1
        except BaseException as error:  # noqa: BLE001 - any failure in a thread fails the test
            with lock:
                errors.append((index, repr(error)))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    with stderr_to_devnull(), fast_thread_switching():
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=HANG_TIMEOUT)
    assert not any(thread.is_alive() for thread in threads), "a thread did not finish"
    assert errors == []
    assert wrong == []
    # The shared objects are unchanged afterwards.
    assert len(registry) == 17 and [registry.get(n) for n in NAMES] == [VALUES[n] for n in NAMES]
    assert matrix.is_unitary(0.0) and len(quarks) == 0


def test_registries_made_on_one_thread_are_used_and_dropped_on_others():
    made = []
    barrier = threading.Barrier(THREADS)
    errors = []

    def maker():
        try:
            barrier.wait(timeout=HANG_TIMEOUT)
            for _ in range(200):
                made.append((core.PyFormulasRegistry(), core.PyCKMMatrix.from_topology(), core.PyQuarkRegistry()))
        except BaseException as error:  # noqa: BLE001
            errors.append(repr(error))

    def user():
        try:
            barrier.wait(timeout=HANG_TIMEOUT)
            used = 0
            while used < 200:
                try:
                    registry, matrix, quarks = made.pop()
                except IndexError:
                    time.sleep(0)
                    continue
                if registry.get("n_gen") != 3.0 or not matrix.is_unitary(0.0) or len(quarks) != 0:
                    errors.append("wrong result")
                del registry, matrix, quarks  # the last reference goes on this thread
                used += 1
        except BaseException as error:  # noqa: BLE001
            errors.append(repr(error))

    threads = [threading.Thread(target=maker if i % 2 == 0 else user) for i in range(THREADS)]
    with fast_thread_switching():
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=HANG_TIMEOUT)
    assert not any(thread.is_alive() for thread in threads), "a thread did not finish"
    assert errors == []
    assert made == []


# At exit, CPython 3.13 ends daemon threads that ask for the interpreter back with pthread_exit, a
# forced unwind of their stacks; 3.14 and later park them for good instead, holding whatever they
# held. Each case keeps six daemon threads inside one kind of call that runs Python code (where the
# interpreter can be handed over) while the main thread returns; an atexit handler then uses the
# objects they are inside, and finalization follows with the threads ended or parked: neither may
# wait for anything such a thread holds (a lock, a critical section, an instance's access state).
EXIT_CHILD = """
import atexit, sys, threading, time, warnings
from corvantis import _vellora_core as core

class Yielding:
    def __float__(self):
        time.sleep(0)
        return 0.5

class IntSubclass(int):
    pass

class IndexWithWarning:
    def __index__(self):
        return IntSubclass(1)

class SlowText:
    def __str__(self):
        time.sleep(0)
        return "slow"

class SlowRelease:
    def __del__(self):
        time.sleep(0)

class RaisingFloat:
    def __init__(self, argument):
        self.argument = argument

    def __float__(self):
        raise TypeError(self.argument())

def attempt(call):
    try:
        call()
    except TypeError:
        pass

matrix = core.PyCKMMatrix.from_topology()
registry = core.PyFormulasRegistry()
quarks = core.PyQuarkRegistry()

def use_the_same_objects():
    assert matrix.is_unitary(0.5) and registry.get("phi") > 1.6 and len(registry) == 17 and len(quarks) == 0
    assert core.py_get_constant("n_gen")["value"] == 3.0 and core.py_list_quarks()[0] == "bottom"
    print("atexit handler done", flush=True)

atexit.register(use_the_same_objects)
calls = {
    "json": lambda: (core.py_get_constant("phi"), registry.get("phi"), len(quarks)),
    "__float__": lambda: matrix.is_unitary(Yielding()),
    "warning": lambda: matrix.is_unitary(IndexWithWarning()),
    "__str__ of a message": lambda: attempt(lambda: matrix.is_unitary(RaisingFloat(SlowText))),
    "__del__ of a released error": lambda: attempt(lambda: matrix.is_unitary(RaisingFloat(SlowRelease))),
}
call = calls[sys.argv[1]]
warnings.simplefilter("always")
warnings.showwarning = lambda *args, **kwargs: time.sleep(0)

def loop():
    while True:
        call()

for _ in range(6):
    threading.Thread(target=loop, daemon=True).start()
time.sleep(0.05)
"""
EXIT_RUNS = 4 if EMULATED else 12  # each starts an interpreter: seconds under emulation


# CPython 3.13t can itself hang at such an exit, the pure-Python twin too: a daemon thread that is
# handed a lock while parked (inside `import`, a type lookup) is ended when it wakes, still holding it.
@pytest.mark.skipif(FREE_THREADED and sys.version_info < (3, 14),
                    reason="CPython 3.13t may hang at exit with daemon threads, whatever they run")
# CPython (3.13 and 3.14 alike) reads a thread's state in drop_gil just after handing the GIL over,
# and finalization can free that state first: musl's allocator unmaps it, so the daemon thread then
# dies by SIGSEGV, where glibc's leaves it readable. The same child written in pure Python, without
# this module, crashes as often on a musl-built CPython (18 of 1,900 runs, against 0 of 600 on glibc).
@pytest.mark.xfail(sysconfig.get_config_var("SOABI").endswith("-linux-musl"), raises=AssertionError, strict=False,
                   reason="the interpreter's use-after-free of an ending daemon thread's state, fatal under musl")
@pytest.mark.parametrize("kind", ["json", "__float__", "warning", "__str__ of a message", "__del__ of a released error"])
def test_daemon_threads_inside_a_call_at_exit(kind):
    runs = [subprocess.Popen([sys.executable, "-c", EXIT_CHILD, kind], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True) for _ in range(EXIT_RUNS)]
    try:
        outcomes = [(*run.communicate(timeout=HANG_TIMEOUT), run.returncode) for run in runs]
    finally:  # a run that hangs is ended, not left behind
        for run in runs:
            if run.poll() is None:
                run.kill()
                run.communicate()
    failed = [(status, err[-400:]) for out, err, status in outcomes
              if status != 0 or out != "atexit handler done\n" or "terminate" in err or "Fatal Python error" in err]
    assert failed == [], f"{len(failed)} of {EXIT_RUNS} runs did not end cleanly"
