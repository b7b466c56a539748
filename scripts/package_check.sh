#!/usr/bin/env bash
# package_check.sh: build the sdist and, from it, the wheel (python -m build); check what each
# holds; install the wheel into a fresh virtual environment made with the same CPython 3.13; run
# stubtest and the pytest suite against that installation, from a directory where the source
# tree's python/ folder cannot be imported.
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

"$venv/bin/python" -m pip install -q build
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

log "fresh virtual environment with the wheel, its test extra and mypy"
"$python" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q "${wheel[0]}[test]"

cd "$work"  # nothing here is importable as corvantis: only the installed wheel is
"$work/venv/bin/python" - <<'PY'
import sys
import corvantis, corvantis._vellora_core as core
for module in (corvantis, core):
    if not module.__file__.startswith(sys.prefix):
        sys.exit(f"package_check: {module.__name__} comes from {module.__file__}, not the fresh venv")
PY
log "stubtest of the installed corvantis._vellora_core"
"$work/venv/bin/python" -m mypy.stubtest corvantis._vellora_core
log "pytest suite against the installed wheel"
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python"
