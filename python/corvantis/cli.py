"""The command line: python -m corvantis constants | get NAME [--pretty] | quarks | ckm [--tol TOL]."""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Callable, Sequence

import corvantis

PROG = "python -m corvantis"

# PyCKMMatrix.from_topology() builds the identity; the matrix object shows its J and its verdict
# but not its elements, so the rows it is built from are written here.
_TOPOLOGY_ROWS = ((1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0))


class _Parser(argparse.ArgumentParser):
    """Reports a usage error on one line (no usage block) and exits with status 2."""

    def error(self, message: str) -> None:  # type: ignore[override]
        self.exit(2, f"{self.prog}: error: {message}\n")


class _Refusal(Exception):
    """A command's one-line error report and its exit status."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


def _parser() -> _Parser:
    parser = _Parser(prog=PROG, description="Physics constants, quark listings and a CKM matrix.")
    parser.add_argument("--version", action="version", version=f"corvantis {corvantis.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.add_parser("constants", help="table of every constant: name, value, units, status")
    get = commands.add_parser("get", help="the datasheet of one constant, as JSON")
    get.add_argument("name", metavar="NAME")
    get.add_argument("--pretty", action="store_true", help="indent the JSON")
    commands.add_parser("quarks", help="the standard-model quark names")
    ckm = commands.add_parser("ckm", help="the CKM matrix from topology, J and its unitarity")
    ckm.add_argument("--tol", type=float, default=1e-12, help="unitarity tolerance (default: %(default)s)")
    return parser


def _is_negative_number(text: str) -> bool:
    if not text.startswith("-"):
        return False
    try:
        float(text)
    except ValueError:
        return False
    return True


def _attach_negative_values(arguments: Sequence[str]) -> list[str]:
    """`--tol -1e-9` as `--tol=-1e-9`: argparse takes only plain negative numbers (-1, -0.5) for
    values, and would read -1e-9, -inf or -1E3 as an unknown option."""
    attached: list[str] = []
    index = 0
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


def _constants(args: argparse.Namespace) -> str:
    rows = [("name", "value", "units", "status")]
    for name in corvantis.list_constants():
        sheet = corvantis.get_constant(name)
        rows.append((name, repr(sheet["value"]), sheet["units"], sheet["status"]))
    return "\n".join(_table(rows, right={1}))


def _get(args: argparse.Namespace) -> str:
    name: str = args.name
    if not name:
        raise _Refusal(f"{PROG} get: error: argument NAME: must not be empty", 2)
    not_found = corvantis._NOT_FOUND_MESSAGE.format(name)
    try:
        sheet = corvantis.get_constant(name)
    except KeyError as error:
        # Only the registry's own answer means an unknown name; any other KeyError is a failure.
        if error.args != (not_found,):
            raise
        raise _Refusal(f"{PROG}: error: {not_found}", 1) from None
    except UnicodeEncodeError as error:
        # A name that is not valid text (undecodable bytes on the command line) names nothing either.
        if error.object != name:
            raise
        raise _Refusal(f"{PROG}: error: {not_found}", 1) from None
    if args.pretty:
        return json.dumps(sheet, indent=2, ensure_ascii=False)
    return json.dumps(sheet, separators=(",", ":"), ensure_ascii=False)


def _quarks(args: argparse.Namespace) -> str:
    return "\n".join(corvantis.list_quarks())


def _ckm(args: argparse.Namespace) -> str:
    tol: float = args.tol
    matrix = corvantis.backend().PyCKMMatrix.from_topology()
    cells = [tuple(repr(x) for x in row) for row in _TOPOLOGY_ROWS]
    return "\n".join(
        [
            "V (from topology):",
            *("  " + line for line in _table(cells, right={0, 1, 2})),
            f"J = {matrix.jarlskog()!r}",
            f"unitary within {tol!r}: {matrix.is_unitary(tol)}",
        ]
    )


_COMMANDS: dict[str, Callable[[argparse.Namespace], str]] = {
    "constants": _constants,
    "get": _get,
    "quarks": _quarks,
    "ckm": _ckm,
}


def _finish(status: int, output: str = "") -> int:
    """Writes `output` and flushes standard output, so that a failed write (a full disk, a closed
    pipe) is reported here, as one line, rather than as a traceback at exit."""
    try:
        sys.stdout.write(output)
        sys.stdout.flush()
    except OSError as error:
        # Point stdout at nothing, so that the flush at exit cannot fail again.
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        if not isinstance(error, BrokenPipeError):  # the reader went away (`| head`): nothing to say
            print(f"{PROG}: error: cannot write the output: {error.strerror or error}", file=sys.stderr)
        return 1
    return status


def main(argv: list[str] | None = None) -> int:
    parser = _parser()
    try:
        args = parser.parse_args(_attach_negative_values(sys.argv[1:] if argv is None else argv))
    except SystemExit as stop:
        # --version and --help have written to stdout; a usage error went to stderr.
        return _finish(stop.code if isinstance(stop.code, int) else 2)
    if args.command is None:
        parser.print_usage(sys.stderr)
        return 2
    try:
        output = _COMMANDS[args.command](args)
    except _Refusal as refusal:
        print(refusal, file=sys.stderr)
        return refusal.status
    return _finish(0, output + "\n")
