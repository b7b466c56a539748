#!/usr/bin/env bash
# reliability.sh: memory-safety, leak, data-race and fuzzing jobs of the core and the extension.
#   asan      AddressSanitizer + UndefinedBehaviorSanitizer build of the core and the extension: the
#             whole GoogleTest suite (leak detection on) and the whole pytest suite run under it
#   tsan      ThreadSanitizer build of the GoogleTest suite; its concurrency and stress tests under it.
#             Then the extension built with it, its thread tests run by a free-threaded CPython 3.13
#             built with --with-thread-sanitizer (scripts/freethreaded.sh 3.13 tsan, cached), the GIL off
#   valgrind  memcheck over a script that calls every callable and error path of the extension: no
#             definitely-lost block and no invalid access may come from the extension
#   fuzz      libFuzzer targets of the datasheet writer and the number format, run from the seed
#             corpus in fuzz/corpus for VELLORA_FUZZ_SECONDS (60) each, both at once
#   all       the four jobs above, in that order
# Each job builds into build/<job>, installs what it lacks (clang, valgrind, the sanitizer runtimes,
# GoogleTest; with apt-get, as root or through sudo) and fails on the first report.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${VELLORA_VENV:-$root/.venv}"
parallel="${VELLORA_JOBS:-2}"
fuzz_seconds="${VELLORA_FUZZ_SECONDS:-60}"
fuzz_targets=(datasheet_json number_format)
# The GoogleTest suites that start threads; TSan runs these (the rest are single-threaded).
tsan_filter='*Concurrency*:*Stress*:*SharedLock*:*NextRegistryKey*:*DefaultRegistry*'

log() { printf '==> reliability: %s\n' "$*" >&2; }
die() {
  printf 'reliability.sh: %s\n' "$*" >&2
  exit 1
}

# shellcheck source=common.sh
source "$root/scripts/common.sh"

# g++ brings libasan/libubsan/libtsan; clang's fuzzer runtime is a package of its own, named after
# the clang major version, and only recommended by clang (so absent where recommends are off).
ensure_tools() {
  apt_install g++ libgtest-dev valgrind clang
  local major
  major="$(clang++ --version | sed -nE 's/.*clang version ([0-9]+).*/\1/p' | head -n 1)"
  if [ -n "$major" ] && apt-cache show "libclang-rt-$major-dev" >/dev/null 2>&1; then
    apt_install "libclang-rt-$major-dev"
  fi
}

ensure_venv() {
  if [ ! -x "$venv/bin/python" ]; then
    log "virtual environment $venv"
    local python
    python="$(find_python)" || die "CPython 3.13 not found; set PYTHON=/path/to/python3.13"
    "$python" -m venv "$venv"
  fi
  if [ ! -x "$venv/bin/cmake" ] || [ ! -x "$venv/bin/ninja" ] ||
     ! "$venv/bin/python" -c 'import pytest, hypothesis' >/dev/null 2>&1; then
    local requirements
    mapfile -t requirements < <(test_requirements "$venv/bin/python" "$root/pyproject.toml")
    "$venv/bin/python" -m pip install -q "cmake>=3.26" ninja "${requirements[@]}"
  fi
}

configure_and_build() {  # build directory, then extra CMake arguments
  local build="$1"
  shift
  # -O1 keeps the sanitizers' stacks exact and builds faster; -g1 gives them file and line.
  "$venv/bin/cmake" -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1" \
    -DPython_EXECUTABLE="$venv/bin/python" "$@" >/dev/null
  "$venv/bin/cmake" --build "$build" -j "$parallel"
}

# The package as python/corvantis with the given build's extension in it, for PYTHONPATH.
stage_package() {  # build directory
  local build="$1" site="$1/site"
  rm -rf "$site"
  mkdir -p "$site"
  cp -r "$root/python/corvantis" "$site/"
  rm -rf "$site/corvantis/__pycache__"
  cp "$build"/_vellora_core.*.so "$site/corvantis/"
  printf '%s\n' "$site"
}

fail_on_reports() {  # report directory, job name, exit status of what ran
  if compgen -G "$1/*" >/dev/null; then
    cat "$1"/* >&2
    die "$2: the sanitizer reported the errors above"
  fi
  [ "${3:-0}" -eq 0 ] || die "$2: failed (exit status $3)"
}

run_asan() {
  local build="$root/build/asan"
  log "asan: building the core tests and the extension with -fsanitize=address,undefined"
  configure_and_build "$build" "-DVELLORA_SANITIZE=address;undefined" -DVELLORA_BUILD_PYTHON=ON \
    -DVELLORA_BUILD_TESTS=ON
  # grep reads all of nm's output (no -q): an early exit would fail the pipe under pipefail.
  nm -D "$build"/_vellora_core.*.so | grep __asan_report_load >/dev/null || die "asan: the extension is not instrumented"

  local reports="$build/reports"
  rm -rf "$reports"
  mkdir -p "$reports"
  # ASan reports also go to files, so one from a child process whose output is captured still
  # fails the job. UBSan is fatal twice over (-fno-sanitize-recover=all at build time, halt_on_error
  # here), but GCC's separate UBSan runtime ignores log_path next to ASan: its reports go to fd 2,
  # which the pytest run below leaves uncaptured so that a report is never swallowed.
  local common="halt_on_error=1:abort_on_error=0:detect_stack_use_after_return=1:check_initialization_order=1"
  common+=":strict_init_order=1:log_path=$reports/asan"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

  log "asan: GoogleTest suite (LeakSanitizer on)"
  local status=0
  ASAN_OPTIONS="detect_leaks=1:$common" "$build/core_tests" --gtest_brief=1 || status=$?
  fail_on_reports "$reports" asan "$status"

  local site
  site="$(stage_package "$build")"
  log "asan: pytest suite against $site"
  # The interpreter is not instrumented: the runtimes are preloaded so that they come first, and
  # PYTHONMALLOC=malloc sends every Python object through the checked allocator. Leak detection
  # is off here because the interpreter keeps most of its own objects at exit by design; the
  # extension's leaks are caught by test_leaks.py (allocator counters) and the valgrind job.
  (
    export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
    export PYTHONMALLOC=malloc PYTHONPATH="$site" ASAN_OPTIONS="detect_leaks=0:$common"
    cd "$root"
    "$venv/bin/python" -c "import corvantis._vellora_core as m, sys; sys.exit(not m.__file__.startswith('$site'))" ||
      die "asan: pytest would not load the sanitized extension"
    # mypy's own compiled modules are not what this job checks, and they crawl under the preload.
    "$venv/bin/python" -m pytest -q -p no:cacheprovider --capture=sys -m "not typecheck" tests/python
  ) || status=$?
  fail_on_reports "$reports" asan "$status"
}

run_tsan() {
  local build="$root/build/tsan"
  log "tsan: building the GoogleTest suite with -fsanitize=thread"
  configure_and_build "$build" -DVELLORA_SANITIZE=thread -DVELLORA_BUILD_PYTHON=OFF -DVELLORA_BUILD_TESTS=ON
  # A renamed suite must not leave the filter matching nothing.
  local selected
  selected="$("$build/core_tests" --gtest_list_tests "--gtest_filter=$tsan_filter" | grep -c '^  ')"
  [ "$selected" -ge 15 ] || die "tsan: the filter selects only $selected tests"
  local reports="$build/reports"
  rm -rf "$reports"
  mkdir -p "$reports"
  log "tsan: $selected concurrency and stress tests"
  local status=0
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan" \
    "$build/core_tests" "--gtest_filter=$tsan_filter" --gtest_brief=1 || status=$?
  fail_on_reports "$reports" tsan "$status"
  run_tsan_freethreaded
}

# The extension's thread tests with calls truly in parallel: the interpreter and the extension both
# instrumented, as CPython tests its own free-threaded build. Reports in CPython itself are
# suppressed by CPython's own list (each entry there says why); ours adds only what is not ours.
run_tsan_freethreaded() {
  local build="$root/build/tsan-ft" python
  python="$(bash "$root/scripts/freethreaded.sh" 3.13 tsan)"
  local ft_venv="$build/venv"
  # Setting up runs the instrumented interpreter (pip, CMake's look at it): its reports are not
  # what this job checks, so they are not made there.
  if [ ! -x "$ft_venv/bin/pytest" ]; then
    TSAN_OPTIONS=report_bugs=0 "$python" -m venv "$ft_venv"
    TSAN_OPTIONS=report_bugs=0 "$ft_venv/bin/python" -m pip install -q pytest
  fi
  log "tsan: building the extension with -fsanitize=thread for $python"
  TSAN_OPTIONS=report_bugs=0 configure_and_build "$build" -DVELLORA_SANITIZE=thread -DVELLORA_BUILD_PYTHON=ON \
    -DVELLORA_BUILD_TESTS=OFF "-DPython_EXECUTABLE=$ft_venv/bin/python"
  nm -D "$build"/_vellora_core.*.so | grep __tsan_func_entry >/dev/null || die "tsan: the extension is not instrumented"
  local site suppressions="$build/suppressions.txt"
  site="$(stage_package "$build")"
  cat "$(dirname "$python")/../lib/tsan-suppressions-cpython.txt" "$root/scripts/reliability/tsan_freethreaded.supp" \
    >"$suppressions"

  local reports="$build/reports" status=0
  rm -rf "$reports"
  mkdir -p "$reports"
  log "tsan: the thread tests on the free-threaded CPython with ThreadSanitizer, the GIL off"
  (
    cd "$root"
    export PYTHONPATH="$site"
    TSAN_OPTIONS=report_bugs=0 "$ft_venv/bin/python" -c \
      "import corvantis._vellora_core as m, sys; sys.exit(not m.__file__.startswith('$site'))" ||
      die "tsan: pytest would not load the sanitized extension"
    # Instrumented, every call is several times slower: each thread gets longer to go round.
    VELLORA_THREAD_SECONDS=10 \
      TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$suppressions:log_path=$reports/tsan" \
      env -u PYTHON_GIL "$ft_venv/bin/python" -m pytest -q -p no:cacheprovider tests/python/test_threads.py
  ) || status=$?
  fail_on_reports "$reports" "tsan (free-threaded CPython)" "$status"
}

run_valgrind() {
  local build="$root/build/valgrind"
  log "valgrind: building the extension (-O2 -g, no sanitizer)"
  "$venv/bin/cmake" -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$venv/bin/python" -DVELLORA_BUILD_PYTHON=ON -DVELLORA_BUILD_TESTS=OFF >/dev/null
  "$venv/bin/cmake" --build "$build" -j "$parallel"
  local site
  site="$(stage_package "$build")"
  log "valgrind: memcheck over every callable and error path"
  "$venv/bin/python" "$root/scripts/reliability/valgrind_check.py" --self-test
  rm -f "$build/memcheck.xml"
  (
    cd "$root"
    PYTHONMALLOC=malloc PYTHONPATH="$site" valgrind --tool=memcheck --leak-check=full \
      --show-leak-kinds=definite --errors-for-leak-kinds=definite --num-callers=40 \
      --xml=yes "--xml-file=$build/memcheck.xml" \
      "$venv/bin/python" "$root/scripts/reliability/touch_every_callable.py" 25
  )
  "$venv/bin/python" "$root/scripts/reliability/valgrind_check.py" "$build/memcheck.xml"
}

run_fuzz() {
  local build="$root/build/fuzz" target
  mkdir -p "$build/artifacts"
  log "fuzz: building ${fuzz_targets[*]} with -fsanitize=fuzzer,address,undefined"
  for target in "${fuzz_targets[@]}"; do
    clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
      -I "$root/src" -I "$root/fuzz" "$root/fuzz/${target}_fuzzer.cpp" "$root"/src/registry/*.cpp "$root"/src/support/*.cpp \
      -o "$build/${target}_fuzzer" &
  done
  wait_all "fuzz: build"

  log "fuzz: ${fuzz_seconds}s per target from fuzz/corpus"
  for target in "${fuzz_targets[@]}"; do
    # New inputs go to the build's own corpus; the checked-in seeds are only read.
    mkdir -p "$build/corpus/$target"
    "$build/${target}_fuzzer" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 -max_len=1024 \
      -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
      "$build/corpus/$target" "$root/fuzz/corpus/$target" >"$build/$target.log" 2>&1 &
  done
  local status=0
  wait_all "fuzz: run" || status=$?
  for target in "${fuzz_targets[@]}"; do
    grep -E '^(stat::number_of_executed_units|stat::new_units_added)' "$build/$target.log" |
      sed "s/^/  $target: /" >&2 || true
  done
  if [ "$status" -ne 0 ]; then
    for target in "${fuzz_targets[@]}"; do tail -n 40 "$build/$target.log" >&2; done
    die "fuzz: a target failed; add the artifact in build/fuzz/artifacts to fuzz/corpus/<target>/ once fixed"
  fi
}

wait_all() {  # label; waits for every background job, fails if any failed
  local failed=0 pid
  for pid in $(jobs -p); do
    wait "$pid" || failed=1
  done
  [ "$failed" -eq 0 ] || {
    log "$1 failed"
    return 1
  }
}

main() {
  local job="${1:-}"
  case "$job" in
    asan | tsan | valgrind | fuzz | all) ;;
    *)
      echo "usage: bash scripts/reliability.sh asan|tsan|valgrind|fuzz|all" >&2
      exit 2
      ;;
  esac
  ensure_tools
  ensure_venv
  local started=$SECONDS name
  if [ "$job" = all ]; then
    for name in asan tsan valgrind fuzz; do
      local began=$SECONDS
      "run_$name"
      log "$name passed in $((SECONDS - began))s"
    done
  else
    "run_$job"
  fi
  log "$job passed in $((SECONDS - started))s"
}

main "$@"
