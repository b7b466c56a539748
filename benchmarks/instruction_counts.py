"""Instructions per call of the extension's calls under callgrind, for figures that timing on a shared
machine is too noisy to give.

    python benchmarks/instruction_counts.py [build get len list const quarks unitary]

Each call is run N1 and then N2 times in fresh interpreters under `valgrind --tool=callgrind`
(PYTHONHASHSEED=0); the figure is the difference of the two totals over N2 - N1, so start-up and
import cancel out. The module is the `corvantis._vellora_core` this interpreter imports.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys

N1, N2 = 2000, 12000
# A registry's random key decides which cells its names take, so `get` reads 50 registries.
CALLS = {
    "build": "f = core.PyFormulasRegistry\nfor _ in range(n): f()",
    "get": "for r in [core.PyFormulasRegistry() for _ in range(50)]:\n  g = r.get\n  for _ in range(n // 50): g('phi')",
    "len": "r = core.PyFormulasRegistry()\nfor _ in range(n): len(r)",
    "list": "f = core.py_list_constants\nfor _ in range(n): f()",
    "const": "f = core.py_get_constant\nfor _ in range(n): f('n_gen')",
    "quarks": "f = core.py_list_quarks\nfor _ in range(n): f()",
    "unitary": "f = core.PyCKMMatrix.from_topology().is_unitary\nfor _ in range(n): f(0.5)",
}


def instructions(call: str, n: int) -> int:
    program = f"from corvantis import _vellora_core as core\nn = {n}\n{CALLS[call]}\n"
    run = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, "-c", program],
        capture_output=True, text=True, check=True, env={**os.environ, "PYTHONHASHSEED": "0"})
    return int(re.search(r"Collected : (\d+)", run.stderr).group(1))


def main() -> None:
    for call in sys.argv[1:] or CALLS:
        print(f"{call:8} {(instructions(call, N2) - instructions(call, N1)) / (N2 - N1):8.0f}", flush=True)


if __name__ == "__main__":
    main()
