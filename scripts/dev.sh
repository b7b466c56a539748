#!/usr/bin/env bash
# dev.sh: set up a fresh machine and run the project's jobs.
#   demo    install what is needed, build and install the package, run the main job
#   test    install what is needed, then run every test: GoogleTest via CTest; the pytest suite on
#           every interpreter (3.13, 3.13t, 3.14, 3.14t, 3.15), each installing the checkout with
#           pip; every wheel built and tested in a fresh venv of its own interpreter
#           (scripts/package_check.sh); a smoke run of the benchmarks; the reliability jobs
#           (scripts/reliability.sh all: sanitizers, valgrind, fuzzing)
#   test --python VERSION
#           the pytest suite on one interpreter (3.13, 3.13t, 3.14, 3.14t or 3.15), the checkout
#           installed there with pip
#   check   the everyday loop on a set-up machine: incremental build, GoogleTest, pytest without the
#           slow leak tests (about a minute when warm)
#   wheels  every wheel the project publishes, repaired, into dist/ (scripts/wheels.sh)
#   bench   install what is needed, then run the benchmarks (scripts/bench.sh): ratios to baselines
# The interpreters other than 3.13 are built or fetched once and cached under /var/cache/vellora:
# 3.13t and 3.14t built from Debian's source (scripts/freethreaded.sh), 3.14 and 3.15 from Debian
# unstable's packages in a root of their own (scripts/roots.sh sid), where their suites run.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${VELLORA_VENV:-$root/.venv}"
jobs="${VELLORA_JOBS:-2}"

log() { printf '==> %s\n' "$*" >&2; }
die() { printf 'dev.sh: %s\n' "$*" >&2; exit 1; }

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

# The suite on one interpreter, in a venv of its own (.venv-VERSION) that pip installs the
# checkout into. A free-threaded interpreter is left to decide the GIL: a module that asked for it
# would turn it back on and fail the suite.
run_suite_on() {  # version, then pytest arguments
  local version="$1"
  shift
  case "$version" in
    3.13)
      make_venv
      install_package
      run_python_tests "$@"
      ;;
    3.13t|3.14t)
      local python ft_venv="$root/.venv-${version/./}"
      python="$(bash "$root/scripts/freethreaded.sh" "${version%t}")"
      [ -x "$ft_venv/bin/python" ] || "$python" -m venv "$ft_venv"
      log "pip install .[test] on $version"
      "$ft_venv/bin/python" -m pip install -q -c "$root/scripts/freethreaded-constraints.txt" "$root[test]"
      log "pytest suite on $version, the GIL off"
      (cd "$root" && env -u PYTHON_GIL "$ft_venv/bin/python" -m pytest -q tests/python "$@")
      ;;
    3.14|3.15)
      local inside="/repo/.venv-${version/./}"
      log "pip install .[test], then the pytest suite, on $version (Debian unstable root)"
      bash "$root/scripts/roots.sh" sid run "[ -x $inside/bin/python ] || python$version -m venv $inside
        $inside/bin/python -m pip install -q '/repo[test]'
        cd /repo && $inside/bin/python -m pytest -q -p no:cacheprovider tests/python $*"
      ;;
    *) die "no interpreter $version: choose 3.13, 3.13t, 3.14, 3.14t or 3.15" ;;
  esac
}

# What every job of `test` needs from apt, installed at once: the jobs below run side by side.
test_system_packages=(
  clang valgrind                                       # scripts/reliability.sh
  debootstrap qemu-user-static binfmt-support          # scripts/roots.sh, scripts/older_glibc.sh
  g++-aarch64-linux-gnu                                # scripts/wheels.sh
  build-essential curl xz-utils pkg-config libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev
  libsqlite3-dev libreadline-dev uuid-dev              # scripts/freethreaded.sh
)

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
    if [ $# -eq 3 ] && [ "$2" = --python ]; then
      install_system_packages
      run_suite_on "$3"
      exit 0
    fi
    [ $# -eq 1 ] || die "usage: bash scripts/dev.sh test [--python VERSION]"
    install_system_packages "${test_system_packages[@]}"
    # The interpreters and roots that later jobs need are made (or found in the cache) meanwhile;
    # each script takes a lock of its own, so a later job waits for it rather than making it twice.
    mkdir -p "$root/build/logs"
    for cached in "freethreaded.sh 3.13" "freethreaded.sh 3.14" "roots.sh sid prepare" \
                  "roots.sh arm64 prepare" "older_glibc.sh prepare" "freethreaded.sh 3.13 tsan"; do
      # shellcheck disable=SC2086
      bash "$root/scripts/"$cached >"$root/build/logs/${cached// /-}.log" 2>&1 &
    done
    make_venv
    install_package
    run_core_tests
    run_python_tests
    # The slow jobs side by side: the package check (its arm64 suite runs under emulation), and
    # the suite on the other interpreters, two at a time, while the benchmarks' smoke run and the
    # reliability jobs go on here. Each logs to build/logs/ and is shown if it fails.
    log "package check and the other interpreters' suites in the background (logs: build/logs/)"
    VELLORA_VENV="$venv" VELLORA_JOBS="$jobs" bash "$root/scripts/package_check.sh" \
      >"$root/build/logs/package-check.log" 2>&1 &
    background=("package-check:$!")
    (run_suite_on 3.14; run_suite_on 3.13t) >"$root/build/logs/suites-3.14-3.13t.log" 2>&1 &
    background+=("suites-3.14-3.13t:$!")
    (run_suite_on 3.15; run_suite_on 3.14t) >"$root/build/logs/suites-3.15-3.14t.log" 2>&1 &
    background+=("suites-3.15-3.14t:$!")
    bash "$root/scripts/bench.sh" --quick  # smoke run: the benchmarks still build and run
    VELLORA_VENV="$venv" VELLORA_JOBS="$jobs" bash "$root/scripts/reliability.sh" all
    wait_for_logged_jobs "$root/build/logs" "${background[@]}"
    log "passed: every suite, every wheel, the reliability jobs"
    wait  # the cache jobs ended long ago; their logs are in build/logs
    ;;
  check)
    make_venv
    install_package
    run_core_tests
    run_python_tests -m "not leak"
    ;;
  wheels)
    install_system_packages
    make_venv
    VELLORA_VENV="$venv" VELLORA_JOBS="$jobs" bash "$root/scripts/wheels.sh"
    ;;
  bench)
    install_system_packages
    make_venv
    install_package
    "$venv/bin/python" -m pip install -q pyperf
    bash "$root/scripts/bench.sh"
    ;;
  *)
    echo "usage: bash scripts/dev.sh demo|test [--python VERSION]|check|wheels|bench" >&2
    exit 2
    ;;
esac
