"""The command line: python -m corvantis constants | get NAME [--pretty] | quarks | ckm [--tol TOL]."""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Sequence

import corvantis

PROG = "python -m corvantis"


class _Parser(argparse.ArgumentParser):
    """Reports a usage error on one line (no usage block) and exits with status 2."""

    def error(self, message: str) -> None:  # type: ignore[override]
        self.exit(2, f"{self.prog}: error: {message}\n")


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


def _table(rows: Sequence[Sequence[str]], right: set[int]) -> list[str]:
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = []
    for row in rows:
        cells = [cell.rjust(w) if i in right else cell.ljust(w) for i, (cell, w) in enumerate(zip(row, widths))]
        lines.append("  ".join(cells).rstrip())
    return lines


def _constants() -> int:
    rows = [("name", "value", "units", "status")]
    for name in corvantis.list_constants():
        sheet = corvantis.get_constant(name)
        rows.append((name, repr(sheet["value"]), sheet["units"], sheet["status"]))
    print("\n".join(_table(rows, right={1})))
    return 0


def _get(name: str, pretty: bool) -> int:
    if not name:
        print(f"{PROG} get: error: argument NAME: must not be empty", file=sys.stderr)
        return 2
    try:
        sheet = corvantis.get_constant(name)
    except (KeyError, UnicodeEncodeError):
        # A name that is not valid text (undecodable bytes on the command line) names nothing either.
        print(f"{PROG}: error: constant `{name}` not found in registry", file=sys.stderr)
        return 1
    if pretty:
        print(json.dumps(sheet, indent=2, ensure_ascii=False))
    else:
        print(json.dumps(sheet, separators=(",", ":"), ensure_ascii=False))
    return 0


def _quarks() -> int:
    print("\n".join(corvantis.list_quarks()))
    return 0


def _ckm(tol: float) -> int:
    from corvantis import _pyvellora

    matrix = corvantis.backend().PyCKMMatrix.from_topology()
    # The extension's matrix has no element accessor; the twin builds the same matrix in the same
    # way and keeps its rows readable.
    rows = _pyvellora.PyCKMMatrix.from_topology()._elements
    cells = [tuple(repr(x) for x in row) for row in rows]
    print("V (from topology):")
    print("\n".join("  " + line for line in _table(cells, right={0, 1, 2})))
    print(f"J = {matrix.jarlskog()!r}")
    print(f"unitary within {tol!r}: {matrix.is_unitary(tol)}")
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        if args.command == "constants":
            return _constants()
        if args.command == "get":
            return _get(args.name, args.pretty)
        if args.command == "quarks":
            return _quarks()
        if args.command == "ckm":
            return _ckm(args.tol)
        parser.print_usage(sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader went away (`| head`); point stdout at nothing so the exit flush cannot fail.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
