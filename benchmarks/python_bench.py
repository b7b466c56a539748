"""pyperf benchmark of every callable of corvantis._vellora_core, each beside a plain-Python baseline.

Absolute times drift on shared machines, so each call is timed right next to a baseline that anyone
can reproduce with the standard library alone, and the figure to read is the ratio project/baseline
(medians). Run with the interpreter the package is installed in:

    python benchmarks/python_bench.py              # full run, a couple of minutes
    python benchmarks/python_bench.py --quick      # smoke run: checks that every call runs
    python benchmarks/python_bench.py --ratios-json ratios.json

Any pyperf option works too (-o FILE keeps every value, --affinity, -p, ...).
"""

from __future__ import annotations

import json
import platform
import sys
import time
import timeit

import pyperf

from corvantis import _vellora_core as core

QUICK = "--quick" in sys.argv

# Table order of the registry; the listings return them sorted, the baselines copy them as they are.
CONSTANT_NAMES = tuple(core.py_list_constants())
QUARK_NAMES = tuple(core.py_list_quarks())


class Plain:
    """The cheapest user-defined instance: what a constructor call costs in plain Python."""


def datasheet_text(name: str) -> str:
    # The datasheet is compact JSON with sorted keys, so json.dumps rebuilds the very text.
    return json.dumps(core.py_get_constant(name), separators=(",", ":"), sort_keys=True)


def namespace() -> dict[str, object]:
    reg = core.PyFormulasRegistry()
    matrix = core.PyCKMMatrix.from_topology()
    return {
        "core": core,
        "reg": reg,
        "m": matrix,
        "Plain": Plain,
        "text": datasheet_text("phi"),
        "d": {name: float(i) for i, name in enumerate(CONSTANT_NAMES)},
        "names": CONSTANT_NAMES,
        "quarks": QUARK_NAMES,
        "deviation": 0.0,
        "tol": 0.5,
        "x": 0.0,
        "v": reg.version(),
    }


# (call, project statement, baseline statement, the baseline as the table shows it)
MISS_PROJECT = "try:\n    reg.get('nope')\nexcept KeyError:\n    pass"
MISS_BASELINE = "try:\n    d['nope']\nexcept KeyError:\n    pass"
CASES = [
    ("py_get_constant('phi')", "core.py_get_constant('phi')", "__import__('json').loads(text)",
     "`__import__('json').loads(text)`, same datasheet text"),
    ("py_get_constant(name='phi')", "core.py_get_constant(name='phi')", "__import__('json').loads(s=text)",
     "`__import__('json').loads(s=text)`, same datasheet text"),
    ("py_list_constants()", "core.py_list_constants()", "list(names)", "`list(names)`, a tuple of the 17 names"),
    ("py_list_quarks()", "core.py_list_quarks()", "list(quarks)", "`list(quarks)`, a tuple of the 6 names"),
    ("PyFormulasRegistry()", "core.PyFormulasRegistry()", "Plain()", "`Plain()`, an empty class"),
    ("reg.get('phi')", "reg.get('phi')", "d.get('phi')", "`d.get('phi')`, a 17-entry dict"),
    ("reg.get(name='phi')", "reg.get(name='phi')", "d.get('phi')", "`d.get('phi')` (takes no keyword)"),
    ("reg.get('nope'), KeyError caught", MISS_PROJECT, MISS_BASELINE, "`d['nope']`, KeyError caught"),
    ("len(reg)", "len(reg)", "len(d)", "`len(d)`, a 17-entry dict"),
    ("reg.version()", "reg.version()", "v.strip()", "`v.strip()`, a str method"),
    ("PyCKMMatrix.from_topology()", "core.PyCKMMatrix.from_topology()", "Plain()", "`Plain()`, an empty class"),
    ("m.is_unitary(0.5)", "m.is_unitary(0.5)", "deviation <= tol", "`deviation <= tol`, two floats"),
    ("m.jarlskog()", "m.jarlskog()", "x.conjugate()", "`x.conjugate()`, a float method"),
    ("PyQuarkRegistry()", "core.PyQuarkRegistry()", "Plain()", "`Plain()`, an empty class"),
]


def check_results() -> None:
    """Fail before timing if a call does not do what the table says it measures."""
    reg = core.PyFormulasRegistry()
    assert core.py_get_constant("phi") == json.loads(datasheet_text("phi"))
    assert core.py_get_constant(name="n_gen")["value"] == 3.0
    assert list(CONSTANT_NAMES) == sorted(CONSTANT_NAMES, key=lambda s: s.encode()) and len(CONSTANT_NAMES) == 17
    assert len(QUARK_NAMES) == 6
    assert reg.get("phi") == reg.get(name="phi") == 1.618033988749895
    assert len(reg) == 17
    try:
        reg.get("nope")
    except KeyError:
        pass
    else:
        raise AssertionError("reg.get('nope') did not raise KeyError")
    matrix = core.PyCKMMatrix.from_topology()
    assert matrix.is_unitary(0.5) is True and matrix.jarlskog() == 0.0
    assert isinstance(core.PyQuarkRegistry(), core.PyQuarkRegistry)


def add_cmdline_args(cmd: list[str], args) -> None:
    # Workers must be built with the same defaults as the manager.
    if args.quick:
        cmd.append("--quick")


def machine() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def main() -> None:
    if QUICK:
        # A smoke run: one short process per benchmark; the figures are not worth quoting.
        runner = pyperf.Runner(processes=1, values=1, warmups=1, min_time=0.005, add_cmdline_args=add_cmdline_args)
    else:
        runner = pyperf.Runner(processes=4, values=3, add_cmdline_args=add_cmdline_args)
    runner.argparser.add_argument("--quick", action="store_true", help="smoke run: a few seconds in all")
    runner.argparser.add_argument("--ratios-json", metavar="FILE", help="write the ratio table as JSON to FILE")
    args = runner.parse_args()
    if QUICK and hasattr(args, "in_process"):
        args.in_process = True  # no worker processes to start: the smoke run takes seconds
    check_results()

    globs = namespace()
    rows = []
    started = time.monotonic()
    for label, project, baseline, shown in CASES:
        # Each pair runs back to back, so the machine's drift affects both sides alike.
        # timeit.Timer(...).timeit(loops) is the loop `python -m timeit` runs: total seconds.
        project_bench = runner.bench_time_func(label, timeit.Timer(project, globals=globs).timeit)
        baseline_bench = runner.bench_time_func(f"{label} baseline", timeit.Timer(baseline, globals=globs).timeit)
        if project_bench is None or baseline_bench is None:
            continue  # a worker process, or a benchmark not selected
        p, b = project_bench.median(), baseline_bench.median()
        rows.append({"call": label, "project_ns": p * 1e9, "baseline": shown, "baseline_ns": b * 1e9,
                     "ratio": p / b})

    if args.worker or not rows:
        return
    print()
    print(f"corvantis._vellora_core, Python {platform.python_version()}, {machine()}, "
          f"{len(rows)} calls in {time.monotonic() - started:.0f} s{' (quick: not for quoting)' if QUICK else ''}")
    print("| call | baseline | project ns | baseline ns | project/baseline |")
    print("|---|---|---:|---:|---:|")
    for row in rows:
        print(f"| `{row['call']}` | {row['baseline']} | {row['project_ns']:.1f} | {row['baseline_ns']:.1f} "
              f"| {row['ratio']:.2f} |")
    if args.ratios_json:
        with open(args.ratios_json, "w", encoding="utf-8") as out:
            json.dump({"python": platform.python_version(), "machine": machine(), "quick": QUICK, "rows": rows},
                      out, indent=2)


if __name__ == "__main__":
    main()
