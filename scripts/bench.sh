#!/usr/bin/env bash
# bench.sh: the core's Google Benchmark suite, the pyperf suite of the installed extension, then the
# start-up benchmark (imports in fresh processes). All report ratios against baselines timed in the
# same run: absolute times drift on shared machines.
#   bash scripts/bench.sh            full run (a few minutes)
#   bash scripts/bench.sh --quick    smoke run (seconds): checks that everything runs, not how fast
# Needs libbenchmark-dev, a C compiler (the start-up baseline is a C extension built on the spot),
# and the package installed in the venv (bash scripts/dev.sh bench does all three).
# Result files go to build/bench/.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${VELLORA_VENV:-$root/.venv}"
jobs="${VELLORA_JOBS:-2}"
build="$root/build/bench"
python="$venv/bin/python"

quick=0
case "${1:-}" in
  --quick) quick=1 ;;
  "") ;;
  *) echo "usage: bash scripts/bench.sh [--quick]" >&2; exit 2 ;;
esac

log() { printf '==> %s\n' "$*" >&2; }

[ -x "$python" ] || { echo "bench.sh: no venv at $venv; run: bash scripts/dev.sh bench" >&2; exit 1; }
# The venv's cmake and ninja (from dev.sh) come first; a system cmake works too.
export PATH="$venv/bin:$PATH"
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)

log "core benchmarks (Google Benchmark)"
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DVELLORA_BUILD_PYTHON=OFF -DVELLORA_BUILD_TESTS=OFF -DVELLORA_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j "$jobs" --target core_benchmarks
if [ "$quick" -eq 1 ]; then
  gbench_args=(--benchmark_min_time=0.001)
else
  # Repetitions in random order, so slow phases of the machine hit baselines and core alike.
  gbench_args=(--benchmark_min_time=0.2 --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
               --benchmark_report_aggregates_only=true)
fi
"$build/core_benchmarks" "${gbench_args[@]}" \
  --benchmark_out="$build/core_benchmarks.json" --benchmark_out_format=json
"$python" "$root/benchmarks/core_ratios.py" "$build/core_benchmarks.json" --ratios-json "$build/core_ratios.json"

log "Python benchmarks (pyperf) of the installed corvantis._vellora_core"
"$python" -c 'import pyperf' 2>/dev/null || "$python" -m pip install -q pyperf
python_args=(--quiet --ratios-json "$build/python_ratios.json")
[ "$quick" -eq 1 ] && python_args+=(--quick)
"$python" "$root/benchmarks/python_bench.py" "${python_args[@]}"

log "start-up: imports of the installed corvantis in fresh processes"
import_args=(--ratios-json "$build/import_ratios.json")
[ "$quick" -eq 1 ] && import_args+=(--quick)
"$python" "$root/benchmarks/import_bench.py" "${import_args[@]}"
