"""The command line (`corvantis`, or python -m corvantis), run as a user runs it: in a subprocess."""

import builtins
import json
import os
import pathlib
import re
import subprocess
import sys
import sysconfig
import types

import pytest

import corvantis
from corvantis import cli
from support import HANG_TIMEOUT, blocks

# The command line is Python-level: its tests run once per version, on the checkout.
pytestmark = pytest.mark.python_level


def run(*args):
    return subprocess.run([sys.executable, "-m", "corvantis", *args], capture_output=True, text=True,
                          timeout=HANG_TIMEOUT)


def test_constants_table_is_aligned_and_complete():
    result = run("constants")
    assert result.returncode == 0 and result.stderr == ""
    header, *rows = result.stdout.splitlines()
    assert header.split() == ["name", "value", "units", "status"]
    # Names, units and statuses start in one column each; values end in one column.
    spans = [[match.span() for match in re.finditer(r"\S+", row)] for row in [header, *rows]]
    for column, edge in ((0, 0), (1, 1), (2, 0), (3, 0)):
        assert len({row[column][edge] for row in spans}) == 1, column
    table = [row.split() for row in rows]
    sheets = [corvantis.get_constant(name) for name in corvantis.list_constants()]
    assert table == [[s["name"], repr(s["value"]), s["units"], s["status"]] for s in sheets]


@pytest.mark.parametrize("name", ["phi", "w0_central"])
def test_get_prints_the_datasheet(name):
    compact, pretty = run("get", name), run("get", name, "--pretty")
    assert compact.stdout.count("\n") == 1 and " " not in compact.stdout
    assert pretty.stdout.startswith('{\n  "name": ')
    assert json.loads(compact.stdout) == json.loads(pretty.stdout) == corvantis.get_constant(name)


@pytest.mark.parametrize(
    "args, verdict",
    [
        ((), "1e-12: True"), (("--tol", "0"), "0.0: True"), (("--tol=-1e-9",), "-1e-09: False"), (("--tol", "nan"), "nan: False"),
        (("--tol", "-1e-12"), "-1e-12: False"), (("--tol", "-inf"), "-inf: False"), (("--to", "-1E3"), "-1000.0: False"),
    ],
)
def test_ckm(args, verdict):
    result = run("ckm", *args)
    lines = result.stdout.splitlines()
    assert [row.split() for row in lines[1:4]] == [["1.0", "0.0", "0.0"], ["0.0", "1.0", "0.0"], ["0.0", "0.0", "1.0"]]
    assert lines[4:] == ["J = 0.0", f"unitary within {verdict}"]
    assert result.returncode == (0 if verdict.endswith("True") else 1)  # the verdict, for scripts


def ckm_json(unitary):
    matrix = corvantis.PyCKMMatrix.from_topology()
    identity = [[float(row == column) for column in range(3)] for row in range(3)]
    return {"matrix": identity, "jarlskog": matrix.jarlskog(), "unitary": unitary}


@pytest.mark.parametrize(
    "args, expected, status",
    [
        (("constants", "--json"), lambda: [corvantis.get_constant(name) for name in corvantis.list_constants()], 0),
        (("quarks", "--json"), corvantis.list_quarks, 0),
        (("ckm", "--json"), lambda: ckm_json(True), 0),
        (("ckm", "--json", "--tol", "nan"), lambda: ckm_json(False), 1),
    ],
)
def test_json_is_one_line_of_the_apis_values(args, expected, status):
    result = run(*args)
    assert (result.returncode, result.stderr, result.stdout.count("\n")) == (status, "", 1)
    assert json.loads(result.stdout, parse_constant=pytest.fail) == expected()


def test_quarks_version_and_usage():
    assert run("quarks").stdout.splitlines() == corvantis.list_quarks()
    assert run("--version").stdout == f"corvantis {corvantis.__version__}\n"
    bare = run()
    assert (bare.returncode, bare.stdout) == (2, "")
    assert bare.stderr.startswith("corvantis: error: the following arguments are required: COMMAND\n")


NAMES_HINT = "Try 'corvantis constants' for the names."


@pytest.mark.parametrize(
    "args, status, message, hint",
    [
        (("get", "nope"), 1, "constant `nope` not found in registry", NAMES_HINT),
        (("get", "PHI", "--pretty"), 1, "constant `PHI` not found in registry", NAMES_HINT),
        (("get", ""), 1, "constant `` not found in registry", NAMES_HINT),
        # What an error echoes stays on its line, whatever breaks a line or does not print.
        (("get", "a\nb\r\x0b\x1c\x85\u2028\tz"), 1, "constant `a\\nb\\r\\x0b\\x1c\\x85\\u2028\\tz` not found in registry",
         NAMES_HINT),
        (("quarks", "x\ny"), 2, "unrecognized arguments: x\\ny", "Try 'corvantis --help' for more information."),
        (("get",), 2, "the following arguments are required: NAME", "Try 'corvantis get --help' for more information."),
        (("ckm", "--tol", "x"), 2, "argument --tol: invalid float value: 'x'", "Try 'corvantis ckm --help' for more information."),
        (("ckm", "--tol", "-1,5"), 2, "argument --tol: invalid float value: '-1,5'", "Try 'corvantis ckm --help' for more information."),
        (("bogus",), 2, "argument COMMAND: invalid choice: 'bogus'", "Try 'corvantis --help' for more information."),
        (("quarks", "--pretty"), 2, "unrecognized arguments: --pretty", "Try 'corvantis --help' for more information."),
        # Only ckm has --tol: elsewhere the option and its negative value are quoted as typed.
        (("quarks", "--tol", "-1"), 2, "unrecognized arguments: --tol -1", "Try 'corvantis --help' for more information."),
        (("get", "phi", "--t", "-5"), 2, "unrecognized arguments: --t -5", "Try 'corvantis --help' for more information."),
    ],
)
def test_errors_have_one_format_and_no_traceback(args, status, message, hint):
    result = run(*args)
    assert (result.returncode, result.stdout) == (status, "")
    error, given_hint = result.stderr.splitlines()
    assert error.startswith(f"corvantis: error: {message}") and given_hint == hint


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full, where every write fails")
@pytest.mark.parametrize("args", [("get", "phi"), ("--version",)])
def test_a_failed_write_is_one_line_and_status_1(args):
    with open("/dev/full", "w") as full:
        result = subprocess.run([sys.executable, "-m", "corvantis", *args], stdout=full, stderr=subprocess.PIPE, text=True,
                                timeout=HANG_TIMEOUT)
    assert result.returncode == 1 and result.stderr.count("\n") == 1
    assert result.stderr.startswith("corvantis: error: cannot write the output: ")


def test_get_reports_only_the_registrys_answer_as_not_found(monkeypatch, capsys):
    real_import = builtins.__import__
    stand_in = types.ModuleType("json")  # handed to the import, but left out of sys.modules

    monkeypatch.setattr(builtins, "__import__", lambda name, *rest: stand_in if name == "json" else real_import(name, *rest))
    monkeypatch.delitem(sys.modules, "json")
    with pytest.raises(KeyError) as raised:
        cli.main(["get", "phi"])
    assert raised.value.args == ("json",) and capsys.readouterr() == ("", "")


def test_undecodable_name_and_closed_pipe_end_without_a_traceback():
    result = subprocess.run([sys.executable, "-m", "corvantis", "get", b"\xff"], capture_output=True,
                            timeout=HANG_TIMEOUT)
    assert result.returncode == 1 and result.stderr.count(b"\n") == 2 and b"not found in registry" in result.stderr
    process = subprocess.Popen([sys.executable, "-m", "corvantis", "constants"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdout.close()
    assert (process.communicate(timeout=HANG_TIMEOUT)[1], process.returncode) == (b"", 1)


@pytest.mark.parametrize("args", [("get", "phi"), ("--help",), ("ckm", "--tol", "-1")])
def test_closed_stdout_ends_quietly(args):
    closed = subprocess.run(["sh", "-c", 'exec "$0" -m corvantis "$@" >&-', sys.executable, *args], capture_output=True, timeout=HANG_TIMEOUT)
    assert (closed.returncode, closed.stderr) == (1, b"")


# The command line where the extension cannot be loaded and warnings are errors.
TWIN_WITH_WARNINGS_AS_ERRORS = """
import sys
sys.modules["corvantis._vellora_core"] = None
from corvantis.cli import main
sys.exit(main())
"""


@pytest.mark.parametrize("args", [("ckm", "--tol", "-1"), ("get", "nope"), ("--version",)])
def test_console_script_and_the_twin_answer_as_the_module(args):
    script = pathlib.Path(sysconfig.get_path("scripts")) / "corvantis"
    by_script = subprocess.run([script, *args], capture_output=True, text=True, timeout=HANG_TIMEOUT)
    by_twin = subprocess.run([sys.executable, "-W", "error", "-c", TWIN_WITH_WARNINGS_AS_ERRORS, *args],
                             capture_output=True, text=True, timeout=HANG_TIMEOUT)
    by_module = run(*args)
    expected = (by_module.returncode, by_module.stdout, by_module.stderr)
    assert (by_script.returncode, by_script.stdout, by_script.stderr) == expected
    assert (by_twin.returncode, by_twin.stdout, by_twin.stderr) == expected


SESSIONS = blocks("console")


@pytest.mark.parametrize("session", SESSIONS)
def test_readme_command_lines_print_as_shown(session, tmp_path):
    """Each `$ ` line runs in a shell that finds the installed `corvantis` first; the lines up to the
    next command are what it prints, standard error included."""
    path = f"{sysconfig.get_path('scripts')}{os.pathsep}{os.environ.get('PATH', '')}"
    for command, printed in re.findall(r"^\$ (.*)\n((?:(?!\$ ).*\n)*)", session, re.MULTILINE):
        result = subprocess.run(["sh", "-c", command], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                cwd=tmp_path, env={**os.environ, "PATH": path}, timeout=HANG_TIMEOUT)
        assert result.stdout == printed, command
