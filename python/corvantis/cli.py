"""The command line: corvantis constants | get NAME | quarks | ckm [--tol TOL] (also python -m corvantis)."""

from __future__ import annotations

import argparse
import io
import json
import os
import sys
from collections.abc import Callable, Sequence
from typing import NoReturn

import corvantis

PROG = "corvantis"

_EXIT_STATUS = (
    "exit status: 0 on success; 1 for an unknown constant, for a matrix that is not unitary within "
    "TOL (ckm), or when the output cannot be written; 2 for a usage error."
)


class _Failure(Exception):
    """An error to report as `corvantis: error: MESSAGE`, then `hint` if any, and an exit status."""

    def __init__(self, message: str, status: int, hint: str = "") -> None:
        super().__init__(message)
        self.status = status
        self.hint = hint


class _Parser(argparse.ArgumentParser):
    """Hands every usage error, a sub-command's too, to main, which reports all errors alike."""

    def error(self, message: str) -> NoReturn:
        raise _Failure(message, 2, f"Try '{self.prog} --help' for more information.")


def _parser() -> _Parser:
    parser = _Parser(
        prog=PROG, description="Physics constants, quark listings and a CKM matrix.", epilog=_EXIT_STATUS
    )
    parser.add_argument("--version", action="version", version=f"corvantis {corvantis.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, summary: str, epilog: str | None = None) -> _Parser:
        return commands.add_parser(name, help=summary, description=summary, epilog=epilog)

    constants = command("constants", "Table of every constant: name, value, units, status.")
    constants.add_argument("--json", action="store_true", help="the datasheets of all constants, as a JSON list")
    get = command("get", "The datasheet of one constant, as JSON.")
    get.add_argument("name", metavar="NAME")
    get.add_argument("--pretty", action="store_true", help="indent the JSON")
    quarks = command("quarks", "The standard-model quark names, one a line.")
    quarks.add_argument("--json", action="store_true", help="the names as a JSON list")
    ckm = command(
        "ckm",
        "The CKM matrix from topology, its Jarlskog invariant J and its unitarity.",
        epilog="The exit status is 0 when the matrix is unitary within TOL and 1 when it is not.",
    )
    ckm.add_argument("--tol", type=float, default=1e-12, help="unitarity tolerance (default: %(default)s)")
    ckm.add_argument("--json", action="store_true", help='one JSON object: "matrix", "jarlskog", "unitary"')
    return parser


def _is_negative_number(text: str) -> bool:
    """A value meant as a negative number: one that float() reads (-inf, -1E3), or a minus and a
    digit, possibly after a point, however it goes on (-1,5, -0x1p-3), which --tol then refuses
    with the accurate "invalid float value" rather than "expected one argument"."""
    if not text.startswith("-"):
        return False
    if text[1:2].isdecimal() or (text[1:2] == "." and text[2:3].isdecimal()):
        return True
    try:
        float(text)
    except ValueError:
        return False
    return True


def _attach_negative_values(arguments: Sequence[str]) -> list[str]:
    """`ckm --tol -1e-9` as `ckm --tol=-1e-9`: argparse takes only plain negative numbers (-1,
    -0.5) for values, and would read -1e-9, -inf or -1E3 as an unknown option. Only the ckm
    command has --tol; elsewhere the arguments stay as typed, so that a message quotes them."""
    # The command is the first argument that is not an option, for the main parser's options
    # take no values; after "--" nothing is an option.
    command = next((index for index, argument in enumerate(arguments) if not argument.startswith("-")), None)
    if command is None or arguments[command] != "ckm" or "--" in arguments[:command]:
        return list(arguments)
    attached = list(arguments[: command + 1])
    index = command + 1
    while index < len(arguments):
        argument = arguments[index]
        if argument == "--":
            attached.extend(arguments[index:])
            break
        # "--t" and "--to" are the abbreviations of --tol that argparse accepts.
        if (
            len(argument) > 2 and "--tol".startswith(argument)
            and index + 1 < len(arguments) and _is_negative_number(arguments[index + 1])
        ):
            attached.append(f"{argument}={arguments[index + 1]}")
            index += 2
            continue
        attached.append(argument)
        index += 1
    return attached


def _table(rows: Sequence[Sequence[str]], right: set[int]) -> list[str]:
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = []
    for row in rows:
        cells = [cell.rjust(w) if i in right else cell.ljust(w) for i, (cell, w) in enumerate(zip(row, widths))]
        lines.append("  ".join(cells).rstrip())
    return lines


def _compact(value: object) -> str:
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


# Each command returns its output and its exit status.


def _constants(args: argparse.Namespace) -> tuple[str, int]:
    sheets = [corvantis.get_constant(name) for name in corvantis.list_constants()]
    if args.json:
        return _compact(sheets), 0
    rows = [("name", "value", "units", "status")]
    rows += [(sheet["name"], repr(sheet["value"]), sheet["units"], sheet["status"]) for sheet in sheets]
    return "\n".join(_table(rows, right={1})), 0


def _get(args: argparse.Namespace) -> tuple[str, int]:
    name: str = args.name
    not_found = corvantis._NOT_FOUND_MESSAGE.format(name)
    refusal = _Failure(not_found, 1, f"Try '{PROG} constants' for the names.")
    try:
        sheet = corvantis.get_constant(name)
    except KeyError as error:
        # Only the registry's own answer means an unknown name; any other KeyError is a failure.
        if error.args != (not_found,):
            raise
        raise refusal from None
    except UnicodeEncodeError as error:
        # A name that is not valid text (undecodable bytes on the command line) names nothing either.
        if error.object != name:
            raise
        raise refusal from None
    if args.pretty:
        return json.dumps(sheet, indent=2, ensure_ascii=False), 0
    return _compact(sheet), 0


def _quarks(args: argparse.Namespace) -> tuple[str, int]:
    names = corvantis.list_quarks()
    return (_compact(names) if args.json else "\n".join(names)), 0


def _ckm(args: argparse.Namespace) -> tuple[str, int]:
    tol: float = args.tol
    # The matrix object shows its J and its verdict but not its elements: the twin has its rows.
    from corvantis._pyvellora import _TOPOLOGY_ROWS

    matrix = corvantis.PyCKMMatrix.from_topology()
    unitary, jarlskog = matrix.is_unitary(tol), matrix.jarlskog()
    status = 0 if unitary else 1
    if args.json:
        # The tolerance is left out: JSON has no NaN or infinity to write it with.
        return _compact({"matrix": _TOPOLOGY_ROWS, "jarlskog": jarlskog, "unitary": unitary}), status
    cells = [tuple(repr(x) for x in row) for row in _TOPOLOGY_ROWS]
    lines = [
        "V (from topology):",
        *("  " + line for line in _table(cells, right={0, 1, 2})),
        f"J = {jarlskog!r}",
        f"unitary within {tol!r}: {unitary}",
    ]
    return "\n".join(lines), status


_COMMANDS: dict[str, Callable[[argparse.Namespace], tuple[str, int]]] = {
    "constants": _constants,
    "get": _get,
    "quarks": _quarks,
    "ckm": _ckm,
}


def _one_line(text: str) -> str:
    """`text` with each character that does not print (a line break, a control character, an
    undecodable byte) escaped as repr escapes it, so that an error that echoes what was typed
    stays on its line."""
    return "".join(character if character.isprintable() else repr(character)[1:-1] for character in text)


def _report(failure: _Failure) -> int:
    text = f"{PROG}: error: {_one_line(str(failure))}\n" + (f"{failure.hint}\n" if failure.hint else "")
    if sys.stderr is not None:
        try:
            sys.stderr.write(text)
            sys.stderr.flush()
        except OSError:
            pass
    return failure.status


def _finish(status: int, output: str) -> int:
    """Writes `output` and flushes standard output, so that a failed write (a full disk, a closed
    pipe) is reported here rather than as a traceback at exit."""
    if not output:
        return status
    if sys.stdout is None:  # started with standard output closed: the output has nowhere to go
        return 1
    try:
        sys.stdout.write(output)
        sys.stdout.flush()
    except OSError as error:
        # Point stdout at nothing, so that the flush at exit cannot fail again.
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        if isinstance(error, BrokenPipeError):  # the reader went away (`| head`): nothing to say
            return 1
        return _report(_Failure(f"cannot write the output: {error.strerror or error}", 1))
    return status


def main(argv: list[str] | None = None) -> int:
    """Runs one command line (sys.argv[1:] by default) and returns the exit status."""
    arguments = _attach_negative_values(sys.argv[1:] if argv is None else argv)
    stdout, printed = sys.stdout, io.StringIO()
    sys.stdout = printed  # --help and --version print as they parse; _finish writes that out
    try:
        try:
            args = _parser().parse_args(arguments)
        finally:
            sys.stdout = stdout
    except SystemExit as stop:
        return _finish(stop.code if isinstance(stop.code, int) else 2, printed.getvalue())
    except _Failure as failure:
        return _report(failure)
    try:
        corvantis.backend()
    except corvantis.NativeUnavailableWarning:
        pass  # a filter made the fall-back's warning an error; the twin is chosen all the same
    try:
        output, status = _COMMANDS[args.command](args)
    except _Failure as failure:
        return _report(failure)
    return _finish(status, output + "\n")
