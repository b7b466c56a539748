#!/usr/bin/env bash
# dev.sh: set up a fresh machine and run the project's jobs.
#   demo   install what is needed, build and install the package, run the main job
#   test   install what is needed, then run every test (GoogleTest via CTest, then pytest), then the
#          reliability jobs (scripts/reliability.sh all: sanitizers, valgrind, fuzzing)
#   bench  install what is needed, then run the benchmarks (scripts/bench.sh): ratios to baselines
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${VELLORA_VENV:-$root/.venv}"
jobs="${VELLORA_JOBS:-2}"

log() { printf '==> %s\n' "$*" >&2; }

find_python() {
  local candidate
  for candidate in "${PYTHON:-}" python3.13 /root/.pyenv/versions/3.13*/bin/python3.13 \
                   /usr/local/bin/python3.13 /usr/bin/python3.13; do
    [ -n "$candidate" ] || continue
    if command -v "$candidate" >/dev/null 2>&1 &&
       "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then
      command -v "$candidate"
      return 0
    fi
  done
  echo "dev.sh: CPython 3.13 not found; set PYTHON=/path/to/python3.13" >&2
  return 1
}

# System packages: GoogleTest and Google Benchmark for the C++ core. Needs root (or sudo).
install_system_packages() {
  local wanted=(libgtest-dev libbenchmark-dev g++ "$@") missing=() package
  for package in "${wanted[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "apt-get install ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

make_venv() {
  local python
  python="$(find_python)"
  if [ ! -x "$venv/bin/python" ]; then
    log "virtual environment $venv"
    "$python" -m venv "$venv"
  fi
  "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
  "$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" cmake ninja pytest hypothesis
}

install_package() {
  log "pip install . (builds corvantis._vellora_core)"
  "$venv/bin/python" -m pip install -q "$root"
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
  log "pytest suite of the Python surface"
  (cd "$root" && "$venv/bin/python" -m pytest -q tests/python)
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
    run_package_check
    bash "$root/scripts/bench.sh" --quick  # smoke run: the benchmarks still build and run
    VELLORA_VENV="$venv" VELLORA_JOBS="$jobs" bash "$root/scripts/reliability.sh" all
    ;;
  bench)
    install_system_packages
    make_venv
    install_package
    "$venv/bin/python" -m pip install -q pyperf
    bash "$root/scripts/bench.sh"
    ;;
  *)
    echo "usage: bash scripts/dev.sh demo|test|bench" >&2
    exit 2
    ;;
esac
