"""Helpers shared by the test modules (fixtures live in conftest.py)."""

import os
import pathlib
import re
import sys
import sysconfig
from contextlib import contextmanager

# The timeout, in seconds, of every wait in the suite that only guards against a hang: a subprocess,
# a thread, a barrier. Each wait ends as soon as what it waits for is done, so no test waits this
# long to pass; it is minutes so that a machine loaded with other jobs (sanitizer builds on two
# cores) never ends a slow run as if it had hung.
HANG_TIMEOUT = 600

# A free-threaded interpreter (3.13t): threads run Python code in parallel, no GIL takes turns.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


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


def blocks(language: str, pattern: str = "(.*?)") -> list[str]:
    """Every fenced block of `language` in the documents, its text matched by `pattern`."""
    found = []
    for document in DOCUMENTS:
        if document.is_file():
            found += re.findall(f"```{language}\n{pattern}```", document.read_text(encoding="utf-8"), re.DOTALL)
    return found
