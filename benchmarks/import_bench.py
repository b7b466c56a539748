"""Start-up cost of corvantis: each import timed in fresh interpreters beside a baseline of its kind.

    import corvantis                 beside  an empty package
    import corvantis._vellora_core   beside  a minimal C extension (one function), built here with
                                             this interpreter's headers and the C compiler (CC, else cc)

Every sample is a new process of this interpreter that imports the package pair and then the
extension pair; which side of a pair goes first alternates from one process to the next. Half the
processes pause the cyclic collector first: a fresh interpreter starts a few allocations short of
its first collection, which then lands in whichever import crosses the threshold and costs more
than an empty package's import, so those rows show the imports' own work without it. The
figure to read is project/baseline: the ratio within each process (so the machine's drift cancels),
as the median over processes with its interquartile range. The package timed is the one installed
for this interpreter: run it with the venv's python.

    python benchmarks/import_bench.py                  # full run, 100 processes, a few seconds
    python benchmarks/import_bench.py --quick          # smoke run: checks that it runs
    python benchmarks/import_bench.py --ratios-json ratios.json
"""

from __future__ import annotations

import argparse
import compileall
import itertools
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

BASELINE_PACKAGE = "corvantis_bench_empty"
BASELINE_EXTENSION = "corvantis_bench_minimal"

MINIMAL_EXTENSION_C = """\
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *answer(PyObject *module, PyObject *unused) { return PyLong_FromLong(42); }

static PyMethodDef methods[] = {
    {"answer", answer, METH_NOARGS, "answer()\\n--\\n\\nForty-two."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "%(name)s", "The cheapest useful C extension.", -1, methods,
};

PyMODINIT_FUNC PyInit_%(name)s(void) { return PyModule_Create(&definition); }
"""

# (what the table calls it, the project's module, the baseline's module, the baseline as shown)
PAIRS = [
    ("import corvantis", "corvantis", BASELINE_PACKAGE, "an empty package"),
    ("import corvantis._vellora_core", "corvantis._vellora_core", BASELINE_EXTENSION,
     "a minimal C extension, one function"),
]

# One sample: the pairs in table order, each side timed around its own import statement.
CHILD = """\
import sys, time
if sys.argv[2] == "paused":
    import gc
    gc.disable()
project_first = sys.argv[1] == "project-first"
pairs = [tuple(pair.split(",")) for pair in sys.argv[3:]]
def cost(name):
    started = time.perf_counter_ns()
    __import__(name)
    return time.perf_counter_ns() - started
for project, baseline in pairs:
    if project_first:
        p = cost(project); b = cost(baseline)
    else:
        b = cost(baseline); p = cost(project)
    print(p, b)
print(sys.modules["corvantis._vellora_core"].__file__)
"""


def build_baselines(folder: Path) -> None:
    """The empty package (with its bytecode) and the minimal extension, both in `folder`."""
    package = folder / BASELINE_PACKAGE
    package.mkdir()
    (package / "__init__.py").write_text('"""Nothing: the floor of importing a package."""\n')
    compileall.compile_dir(package, quiet=1)

    compiler = shutil.which(os.environ.get("CC", "cc"))
    if compiler is None:
        sys.exit("import_bench: no C compiler for the baseline extension (set CC)")
    source = folder / f"{BASELINE_EXTENSION}.c"
    source.write_text(MINIMAL_EXTENSION_C % {"name": BASELINE_EXTENSION})
    target = folder / f"{BASELINE_EXTENSION}{sysconfig.get_config_var('EXT_SUFFIX')}"
    command = [compiler, "-O2", "-shared", "-fPIC", "-fvisibility=hidden",
               f"-I{sysconfig.get_paths()['include']}", str(source), "-o", str(target)]
    built = subprocess.run(command, capture_output=True, text=True)
    if built.returncode != 0:
        sys.exit(f"import_bench: building the baseline extension failed:\n{' '.join(command)}\n{built.stderr}")


def sample(folder: Path, project_first: bool, collector: str = "running") -> tuple[list[tuple[int, int]], str]:
    """One fresh process: (project ns, baseline ns) per pair, and where the extension came from."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(folder), env.get("PYTHONPATH")]))
    order = "project-first" if project_first else "baseline-first"
    pairs = [f"{project},{baseline}" for _, project, baseline, _ in PAIRS]
    # Run from the baselines' folder, so that no source tree beside the caller shadows the install.
    done = subprocess.run([sys.executable, "-c", CHILD, order, collector, *pairs], cwd=folder, env=env,
                          capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"import_bench: the sample process failed:\n{done.stderr}")
    *rows, origin = done.stdout.splitlines()
    return [(int(p), int(b)) for p, b in (row.split() for row in rows)], origin


def quartiles(values: list[float]) -> tuple[float, float]:
    if len(values) < 2:
        return values[0], values[0]
    q1, _, q3 = statistics.quantiles(values, n=4, method="inclusive")
    return q1, q3


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--processes", type=int, default=100, help="fresh processes to time (default 100)")
    parser.add_argument("--quick", action="store_true", help="smoke run: 6 processes, not for quoting")
    parser.add_argument("--ratios-json", metavar="FILE", help="write the ratio table as JSON to FILE")
    args = parser.parse_args()
    processes = 6 if args.quick else args.processes
    if processes < 1:
        parser.error("--processes must be at least 1")

    with tempfile.TemporaryDirectory(prefix="corvantis-imports-") as temporary:
        folder = Path(temporary)
        build_baselines(folder)
        # Unmeasured: fills the page cache with every file both sides read.
        _, origin = sample(folder, project_first=True)
        sample(folder, project_first=False)
        if not origin.startswith(sys.prefix):
            sys.exit(f"import_bench: corvantis._vellora_core comes from {origin}, not from {sys.prefix}")
        samples = {collector: [sample(folder, i % 2 == 0, collector)[0] for i in range(processes)]
                   for collector in ("running", "paused")}

    rows = []
    for (collector, suffix), (index, (label, _, _, shown)) in itertools.product(
            (("running", ""), ("paused", ", collector paused")), enumerate(PAIRS)):
        pairs = [process[index] for process in samples[collector]]
        ratios = [p / b for p, b in pairs]
        low, high = quartiles(ratios)
        rows.append({"import": label + suffix, "baseline": shown,
                     "project_us": statistics.median(p for p, _ in pairs) / 1e3,
                     "baseline_us": statistics.median(b for _, b in pairs) / 1e3,
                     "ratio": statistics.median(ratios), "ratio_q1": low, "ratio_q3": high})

    load = f", load average {os.getloadavg()[0]:.1f}" if hasattr(os, "getloadavg") else ""
    report = [
        f"corvantis start-up, Python {platform.python_version()} on {platform.machine()}, "
        f"{processes} fresh processes{load}{' (quick: not for quoting)' if args.quick else ''}",
        f"extension: {origin}",
        "| import | baseline | project us | baseline us | project/baseline | q1-q3 |",
        "|---|---|---:|---:|---:|---:|",
    ]
    report += [f"| `{row['import']}` | {row['baseline']} | {row['project_us']:.0f} | {row['baseline_us']:.0f} "
               f"| {row['ratio']:.2f} | {row['ratio_q1']:.2f}-{row['ratio_q3']:.2f} |" for row in rows]
    print("\n".join(report))
    if args.ratios_json:
        summary = {"python": platform.python_version(), "processes": processes, "quick": args.quick,
                   "extension": origin, "rows": rows}
        Path(args.ratios_json).write_text(json.dumps(summary, indent=2), encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
