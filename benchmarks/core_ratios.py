"""Ratio table of a core_benchmarks JSON run: each core benchmark over the baseline its label names.

    python benchmarks/core_ratios.py RUN.json [--ratios-json OUT.json]

Uses CPU time (other processes on a shared machine inflate wall time more) and the median of the
repetitions when the run has them.
"""

from __future__ import annotations

import argparse
import json
import sys


def cpu_times(run: dict) -> tuple[dict[str, float], dict[str, str]]:
    """Per benchmark, its CPU time in ns (median aggregate if present) and its label, in source order."""
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
    single: dict[str, float] = {}
    median: dict[str, float] = {}
    labels: dict[str, str] = {}
    # Interleaved repetitions come in random order; family_index is the order of registration.
    for entry in sorted(run["benchmarks"], key=lambda entry: entry.get("family_index", 0)):
        name = entry.get("run_name", entry["name"])
        ns = entry["cpu_time"] * scale[entry.get("time_unit", "ns")]
        if entry.get("label"):
            labels[name] = entry["label"]
        if entry.get("run_type") == "aggregate":
            if entry.get("aggregate_name") == "median":
                median[name] = ns
        else:
            single.setdefault(name, ns)
    return {**single, **median}, labels


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("run", help="JSON written by core_benchmarks --benchmark_out")
    parser.add_argument("--ratios-json", metavar="FILE", help="write the ratio table as JSON to FILE")
    args = parser.parse_args()
    with open(args.run, encoding="utf-8") as source:
        run = json.load(source)
    times, labels = cpu_times(run)

    rows = []
    for name, label in labels.items():
        if not label.startswith("vs "):
            continue
        baseline = label[3:].split()[0]
        if baseline not in times:
            print(f"core_ratios: {name}: baseline {baseline} not in the run", file=sys.stderr)
            return 1
        rows.append({"benchmark": name, "cpu_ns": times[name], "baseline": baseline,
                     "baseline_cpu_ns": times[baseline], "ratio": times[name] / times[baseline]})
    if not rows:
        print("core_ratios: no benchmark names a baseline", file=sys.stderr)
        return 1

    print("| core benchmark | baseline | CPU ns | baseline CPU ns | core/baseline |")
    print("|---|---|---:|---:|---:|")
    for row in rows:
        print(f"| {row['benchmark']} | {row['baseline']} | {row['cpu_ns']:.1f} | {row['baseline_cpu_ns']:.1f} "
              f"| {row['ratio']:.2f} |")
    if args.ratios_json:
        with open(args.ratios_json, "w", encoding="utf-8") as out:
            json.dump({"context": run.get("context", {}), "rows": rows}, out, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
