#!/usr/bin/env bash
# dev.sh: set up a fresh machine and run the project's jobs.
#   demo   install what is needed, build and install the package, run the main job
#   test   install what is needed, then run every test (GoogleTest via CTest, then pytest), then the
#          reliability jobs (scripts/reliability.sh all: sanitizers, valgrind, fuzzing)
#   check  the everyday loop on a set-up machine: incremental build, GoogleTest, pytest without the
#          slow leak tests (about a minute when warm)
#   bench  install what is needed, then run the benchmarks (scripts/bench.sh): ratios to baselines
#   freethreaded  the pytest suite on a free-threaded CPython 3.13 (python3.13t, built from source
#          once into /var/cache/vellora by scripts/freethreaded.sh), the GIL off; part of `test`
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${VELLORA_VENV:-$root/.venv}"
jobs="${VELLORA_JOBS:-2}"

log() { printf '==> %s\n' "$*" >&2; }

# shellcheck source=common.sh
source "$root/scripts/common.sh"

# System packages: GoogleTest and Google Benchmark for the C++ core, and any named.
install_system_packages() {
  apt_install libgtest-dev libbenchmark-dev g++ "$@"
}

make_venv() {
  local python
  python="$(find_python)"
  if [ ! -x "$venv/bin/python" ]; then
    log "virtual environment $venv"
    "$python" -m venv "$venv"
  fi
  "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
  # The build tools; the test tools come with the package's own `test` extra.
  "$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" "cmake>=3.26" ninja
}

install_package() {
  log "pip install .[test] (builds corvantis._vellora_core; the build folder is kept, so rebuilds are incremental)"
  "$venv/bin/python" -m pip install -q "$root[test]"
}

run_core_tests() {
  local build="$root/build/core-tests"
  log "GoogleTest suite of the core"
  "$venv/bin/cmake" -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DVELLORA_BUILD_PYTHON=OFF -DVELLORA_BUILD_TESTS=ON >/dev/null
  "$venv/bin/cmake" --build "$build" -j "$jobs"
  "$venv/bin/ctest" --test-dir "$build" --output-on-failure -j "$jobs"
}

run_python_tests() {
  log "pytest suite of the Python surface ${*:+($*)}"
  (cd "$root" && "$venv/bin/python" -m pytest -q tests/python "$@")
}

# The suite on python3.13t, in a venv of its own (.venv-313t), with the GIL left to the
# interpreter: a module that asked for it would turn it back on and fail the suite.
run_freethreaded_tests() {
  local python ft_venv="${VELLORA_FT_VENV:-$root/.venv-313t}"
  python="$(bash "$root/scripts/freethreaded.sh")"
  [ -x "$ft_venv/bin/python" ] || "$python" -m venv "$ft_venv"
  "$ft_venv/bin/python" -m pip install -q --upgrade pip >/dev/null
  log "pip install .[test] on $("$ft_venv/bin/python" -c 'import sys; print(sys.version.split()[0])')t"
  "$ft_venv/bin/python" -m pip install -q -c "$root/scripts/freethreaded-constraints.txt" "$root[test]"
  log "pytest suite on the free-threaded CPython, the GIL off"
  (cd "$root" && env -u PYTHON_GIL "$ft_venv/bin/python" -m pytest -q tests/python "$@")
}

run_package_check() {
  log "wheel and sdist: build, install into a fresh venv, test the installation"
  VELLORA_VENV="$venv" VELLORA_JOBS="$jobs" PYTHON="$(find_python)" bash "$root/scripts/package_check.sh"
}

case "${1:-}" in
  demo)
    install_system_packages
    make_venv
    install_package
    "$venv/bin/python" -m corvantis constants
    "$venv/bin/python" -m corvantis quarks
    "$venv/bin/python" -m corvantis get phi --pretty
    "$venv/bin/python" -m corvantis ckm
    ;;
  test)
    install_system_packages clang valgrind  # for scripts/reliability.sh, which adds clang's fuzzer runtime
    make_venv
    install_package
    run_core_tests
    run_python_tests
    run_freethreaded_tests
    run_package_check
    bash "$root/scripts/bench.sh" --quick  # smoke run: the benchmarks still build and run
    VELLORA_VENV="$venv" VELLORA_JOBS="$jobs" bash "$root/scripts/reliability.sh" all
    ;;
  check)
    make_venv
    install_package
    run_core_tests
    run_python_tests -m "not leak"
    ;;
  bench)
    install_system_packages
    make_venv
    install_package
    "$venv/bin/python" -m pip install -q pyperf
    bash "$root/scripts/bench.sh"
    ;;
  freethreaded)
    install_system_packages
    run_freethreaded_tests
    ;;
  *)
    echo "usage: bash scripts/dev.sh demo|test|check|bench|freethreaded" >&2
    exit 2
    ;;
esac
