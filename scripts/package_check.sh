#!/usr/bin/env bash
# package_check.sh: builds the sdist and every wheel into dist/ (scripts/wheels.sh), checks what
# they hold, then installs each wheel into a fresh virtual environment of its own interpreter and
# tests that installation: the extension exports PyInit__vellora_core alone, needs no libstdc++ and
# no glibc symbol newer than its tag allows, comes from the venv and not the checkout, passes
# mypy's stubtest and the pytest suite. Where each runs:
#   cp313 x86-64            this machine's CPython 3.13, then Debian 11 (scripts/older_glibc.sh)
#   cp313t, cp314t          the free-threaded builds (scripts/freethreaded.sh), the GIL off
#   cp314, cp315            the Debian unstable root (scripts/roots.sh sid)
#   cp313 aarch64           the arm64 root under qemu-user (scripts/roots.sh arm64)
# The checks run side by side; each writes its log to build/package-check/, shown if it fails.
#   VELLORA_VENV  the development venv that runs the build (default: .venv)
#   VELLORA_JOBS  parallel compile jobs (default: 2)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${VELLORA_VENV:-$root/.venv}"
work="$root/build/package-check"
# shellcheck source=common.sh
source "$root/scripts/common.sh"

log() { printf '==> %s\n' "$*" >&2; }
die() { printf 'package_check: %s\n' "$*" >&2; exit 1; }

bash "$root/scripts/wheels.sh"
rm -rf "$work"
mkdir -p "$work"

log "contents of the sdist and the wheels"
"$venv/bin/python" - "$root/dist" <<'PY'
import pathlib, sys, tarfile, zipfile

dist = pathlib.Path(sys.argv[1])
sdist, = dist.glob("corvantis-*.tar.gz")
with tarfile.open(sdist) as archive:
    names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
needed = [
    "pyproject.toml", "CMakeLists.txt", "README.md", "src/pyfacade/module.cpp", "src/pyfacade/texts.hpp",
    "src/registry/standard_table.cpp", "python/corvantis/__init__.py", "python/corvantis/__main__.py",
    "python/corvantis/cli.py", "python/corvantis/_pyvellora.py", "python/corvantis/_vellora_core.pyi",
    "python/corvantis/py.typed", "tests/python/conftest.py",
]
problems = [f"sdist lacks {name}" for name in needed if name not in names]
problems += [f"sdist holds {name}" for name in sorted(names)
             if name.startswith(("build/", ".venv", "dist/")) or name.endswith(".so")]
for wheel in sorted(dist.glob("*.whl")):
    python_tag, abi_tag, platform = wheel.stem.split("-")[2:5]
    names = set(zipfile.ZipFile(wheel).namelist())
    needed = ["__init__.py", "__main__.py", "cli.py", "_pyvellora.py", "_vellora_core.pyi", "py.typed"]
    problems += [f"{wheel.name} lacks corvantis/{name}" for name in needed if f"corvantis/{name}" not in names]
    machine = "aarch64" if platform.endswith("aarch64") else "x86_64"
    suffix = f".cpython-{abi_tag[2:]}-{machine}-linux-gnu.so"
    if f"corvantis/_vellora_core{suffix}" not in names:
        problems.append(f"{wheel.name} lacks corvantis/_vellora_core{suffix}")
if problems:
    sys.exit("package_check: " + "; ".join(problems))
PY

# What the extension in a wheel exports, needs, and the newest glibc symbol version it refers to.
check_binary() {  # wheel
  local wheel="$1" unpacked="$work/$(basename "$1" .whl)"
  mkdir -p "$unpacked"
  "$venv/bin/python" -m zipfile -e "$wheel" "$unpacked"
  local extension=("$unpacked"/corvantis/_vellora_core.*.so) exported needed newest
  exported="$(nm -D --defined-only "${extension[0]}" | awk '{print $NF}')"
  [ "$exported" = PyInit__vellora_core ] || die "$(basename "$wheel") exports $exported; PyInit__vellora_core alone is right"
  needed="$(readelf -d "${extension[0]}" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"
  ! grep -qE '(^| )lib(stdc\+\+|gcc_s)\.' <<<"$needed" ||
    die "$(basename "$wheel") needs the shared C++ runtime ($needed); it must be linked in"
  newest="$(objdump -T "${extension[0]}" | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -n 1)"
  printf '  %s: needs %s; newest symbol %s\n' "$(basename "$wheel")" "$needed" "$newest" >&2
  printf '%s\n%s\n' "$newest" GLIBC_2.17 | sort -CV || die "$(basename "$wheel") refers to $newest, newer than its tag's 2.17"
}

# Installs WHEEL into a fresh venv of PYTHON and tests it there, from a folder where the
# checkout's python/ cannot be imported. Written for sh, so that it runs inside a root too.
readonly check_installation='
python="$1" wheel="$2" tests="$3" venv="$4"
shift 4
trap "rm -rf \"$venv\"" EXIT  # inside a cached root, nothing is left behind
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --no-compile "$@" "$wheel[test]"
cd "$(dirname "$venv")"
"$venv/bin/python" -c "import sys, corvantis, corvantis._vellora_core as core
for module in (corvantis, core):
    assert module.__file__.startswith(sys.prefix), module.__file__"
"$venv/bin/python" -m mypy.stubtest corvantis._vellora_core
env -u PYTHON_GIL "$venv/bin/python" -m pytest -q -p no:cacheprovider -rs "$tests"
'

# Each check in the background, logged; reported when all have ended.
checks=()
start_check() {  # label, then the command
  local label="$1"
  shift
  log "checking $label (log: build/package-check/$label.log)"
  "$@" >"$work/$label.log" 2>&1 &
  checks+=("$label:$!")
}

wheel_of() {  # glob under dist/
  local found=("$root"/dist/$1)
  [ -f "${found[0]}" ] || die "no wheel in dist/ matches $1"
  printf '%s\n' "${found[0]}"
}

for wheel in "$root"/dist/*.whl; do check_binary "$wheel"; done

cp313="$(wheel_of 'corvantis-*-cp313-cp313-*x86_64.whl')"
start_check cp313 sh -ec "$check_installation" check "$(find_python)" "$cp313" "$root/tests/python" "$work/venv-cp313"
start_check cp313-debian11 bash "$root/scripts/older_glibc.sh" "$cp313"
for minor in 3.13 3.14; do
  tag="cp${minor/./}t"
  start_check "$tag" sh -ec "$check_installation" check "$(bash "$root/scripts/freethreaded.sh" "$minor")" \
    "$(wheel_of "corvantis-*-$tag-*x86_64.whl")" "$root/tests/python" "$work/venv-$tag" \
    -c "$root/scripts/freethreaded-constraints.txt"
done
# Inside the roots the checkout is at /repo, where build/package-check holds the wheels' copies.
for minor in 3.14 3.15; do
  tag="cp${minor/./}"
  cp "$(wheel_of "corvantis-*-$tag-$tag-*x86_64.whl")" "$work/"
  start_check "$tag" bash "$root/scripts/roots.sh" sid run \
    "sh -ec '$check_installation' check python$minor /repo/build/package-check/$(basename "$(wheel_of "corvantis-*-$tag-$tag-*x86_64.whl")") /repo/tests/python /tmp/venv-$tag-\$\$"
done

# Under emulation the leak tests (100,000 calls per path, resident memory) would take most of an
# hour, and the two address-space tests cannot hold: qemu-user maps its own memory inside the
# process's RLIMIT_AS.
aarch64="$(wheel_of 'corvantis-*-cp313-cp313-*aarch64.whl')"
cp "$aarch64" "$work/"
start_check cp313-aarch64 bash "$root/scripts/roots.sh" arm64 run \
  "PYTEST_ADDOPTS='-m \"not leak\" -k \"not test_allocation_failure_in_the_core_is_a_memory_error\"' \
   sh -ec '$check_installation' check python3.13 /repo/build/package-check/$(basename "$aarch64") /repo/tests/python /tmp/venv-aarch64-\$\$"

wait_for_logged_jobs "$work" "${checks[@]}"
log "every wheel passed: $(cd "$root/dist" && echo *.whl)"
