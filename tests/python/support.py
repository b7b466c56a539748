"""Helpers shared by the test modules (fixtures live in conftest.py)."""

import os
import pathlib
import re
import sys
import sysconfig
from contextlib import contextmanager

# The standard table of seventeen constants, in its order: name: (status, units, value). The ten
# seeds come first; the seven formula constants are carried, never evaluated, and hold +0.0. The
# tests' one copy: both modules, and so the twin's own copy, are checked against it.
CONSTANTS = {
    "b3": ("Seed", "dimensionless", 24.0),
    "chi_eff": ("Seed", "dimensionless", 72.0),
    "n_gen": ("Seed", "count", 3.0),
    "roots_total": ("Seed", "count", 288.0),
    "visible_sector": ("Seed", "count", 125.0),
    "sterile_sector": ("Seed", "count", 163.0),
    "phi": ("Seed", "dimensionless", 1.618033988749895),
    "gamma_em": ("Seed", "dimensionless", 0.5772156649015329),
    "jc_constant": ("Seed", "count", 153.0),
    "logic_closure": ("Seed", "count", 288.0),
    "v_higgs_mev": ("Pending", "MeV", 0.0),
    "sterile_check": ("Pending", "count", 0.0),
    "n_gen_sq": ("Pending", "count", 0.0),
    "h0_central": ("Pending", "km/s/Mpc", 0.0),
    "w0_central": ("Pending", "dimensionless", 0.0),
    "m_tau_mev": ("Pending", "MeV", 0.0),
    "topo_gen_check": ("Pending", "count", 0.0),
}
# What get(name) answers for each constant.
VALUES = {name: value for name, (_, _, value) in CONSTANTS.items()}
# The listing's order: the names are ASCII, so the order of str is that of their UTF-8 bytes.
NAMES = sorted(CONSTANTS)
QUARKS = ["bottom", "charm", "down", "strange", "top", "up"]

# The timeout, in seconds, of every wait in the suite that only guards against a hang: a subprocess,
# a thread, a barrier. Each wait ends as soon as what it waits for is done, so no test waits this
# long to pass; it is minutes so that a machine loaded with other jobs (sanitizer builds on two
# cores) never ends a slow run as if it had hung.
HANG_TIMEOUT = 600

# A free-threaded interpreter (3.13t): threads run Python code in parallel, no GIL takes turns.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# A wheel's proof under qemu-user, where Python runs several times slower: fewer examples and runs.
EMULATED = os.environ.get("VELLORA_EMULATED") == "1"


@contextmanager
def stderr_to_devnull():
    """Every PanicException writes a report to fd 2; loops that raise it many times silence it."""
    sys.stderr.flush()
    saved, devnull = os.dup(2), os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 2)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)


# The README and the files of docs/: their examples run as the tests below them say.
DOCUMENTS = [pathlib.Path(__file__).resolve().parents[2] / "README.md",
             *sorted((pathlib.Path(__file__).resolve().parents[2] / "docs").glob("*.md"))]


def fault_type(core):
    """The PanicException class, which the module does not export: taken from a real fault, whose
    report is silenced."""
    with stderr_to_devnull():
        try:
            core.py_get_constant("")
        except BaseException as error:  # noqa: BLE001 - the point is that it is not an Exception
            return type(error)
    raise AssertionError("an empty name must fault")


def blocks(language: str, pattern: str = "(.*?)") -> list[str]:
    """Every fenced block of `language` in the documents, its text matched by `pattern`."""
    found = []
    for document in DOCUMENTS:
        if document.is_file():
            found += re.findall(f"```{language}\n{pattern}```", document.read_text(encoding="utf-8"), re.DOTALL)
    return found
