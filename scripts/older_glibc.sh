#!/usr/bin/env bash
# older_glibc.sh: proves a manylinux wheel on an older Linux than this one. It installs the wheel
# into CPython 3.13 running on Debian 11 (glibc 2.31) and runs the whole pytest suite there.
#   bash scripts/older_glibc.sh WHEEL     install WHEEL there and run tests/python against it
#   bash scripts/older_glibc.sh prepare   only build (or find) the Debian 11 root
# The root -- Debian 11 from debootstrap, with CPython 3.13.5 built in it from Debian's own source
# package -- is cached under $VELLORA_CACHE (default /var/cache/vellora), and rebuilt when missing
# (about 10 minutes on 2 cores). Each run works in a throw-away venv inside it. Fails if pip there
# refuses the wheel (its tag needs a newer glibc), if the extension does not load (it needs a newer
# symbol than its tag says), or if a test fails. Needs root, for debootstrap and chroot.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=common.sh
source "$root/scripts/common.sh"

cache="${VELLORA_CACHE:-/var/cache/vellora}"
debian=http://deb.debian.org/debian
# Debian 11's packages; once its long-term support ends they move to Debian's archive mirror.
mirror="${VELLORA_DEBIAN_MIRROR:-$debian}"
suite=bullseye
python_version=3.13.5
# The name says what the root holds: a change to its recipe means a new name, so an old root is
# never taken for a new one.
system="$cache/$suite-py${python_version}"
packages=build-essential,libssl-dev,zlib1g-dev,libffi-dev,libbz2-dev,liblzma-dev,libsqlite3-dev,libreadline-dev,libncurses-dev,xz-utils,ca-certificates

log() { printf '==> %s\n' "$*" >&2; }
die() { printf 'older_glibc: %s\n' "$*" >&2; exit 1; }

# The root's own CPython comes first on its PATH.
in_bullseye() {  # command
  in_root "$system" /opt/py313/bin:/usr/bin:/bin "$1"
}

fetch_source() {  # destination
  tar -xJf "$(cpython_tarball 3.13)" -C "$1"
}

prepare() {
  [ -f "$system/.vellora-ready" ] && return 0
  [ "$(id -u)" -eq 0 ] || die "building the Debian 11 root needs root"
  mkdir -p "$cache"
  # One builder at a time; a run that waited here finds the root made.
  exec 9>"$cache/.$suite-py$python_version.lock"
  flock 9
  [ -f "$system/.vellora-ready" ] && return 0
  apt_install debootstrap curl xz-utils
  local building="$system.building"
  rm -rf "$building"
  log "debootstrap $suite into $building"
  debootstrap --variant=minbase --include="$packages" "$suite" "$building" "$mirror" \
    >"$cache/debootstrap.log" 2>&1 || { tail -30 "$cache/debootstrap.log" >&2; die "debootstrap failed"; }
  mkdir -p "$building/build"
  fetch_source "$building/build"
  log "building CPython $python_version inside $suite (./configure && make && make install)"
  in_root "$building" /usr/bin:/bin "cd /build/Python-$python_version && ./configure --prefix=/opt/py313 \
    && make -j${VELLORA_JOBS:-2} && make install" >"$cache/cpython-build.log" 2>&1 ||
    { tail -40 "$cache/cpython-build.log" >&2; die "building CPython in $suite failed"; }
  rm -rf "$building/build"
  in_root "$building" /opt/py313/bin:/usr/bin:/bin 'python3.13 -c "import ssl, sqlite3, ctypes, lzma, bz2, zlib, readline, sys; print(sys.version)"' ||
    die "the CPython built in $suite lacks a standard module"
  touch "$building/.vellora-ready"
  rm -rf "$system"
  mv "$building" "$system"
}

[ $# -eq 1 ] || die "usage: bash scripts/older_glibc.sh WHEEL|prepare"
prepare
[ "$1" = prepare ] && exit 0

wheel="$(realpath "$1")"
[ -f "$wheel" ] || die "no wheel at $1"
glibc="$(in_bullseye 'ldd --version' | sed -n '1s/.* //p')"
log "$(basename "$wheel") on Debian 11 (glibc $glibc), CPython $python_version"

run="$(mktemp -d "$system/tmp/run.XXXXXX")"
trap 'rm -rf "$run"' EXIT
inside="/tmp/$(basename "$run")"
# pip inside the root has none of this machine's configuration: the test tools come in as wheels
# fetched here, for CPython 3.13 on glibc $glibc.
mapfile -t requirements < <(test_requirements "$(find_python)" "$root/pyproject.toml")
"$(find_python)" -m pip download -q --only-binary=:all: --python-version 3.13 \
  --platform "manylinux_${glibc/./_}_x86_64" --dest "$run/wheels" "${requirements[@]}" 2>&1 |
  { grep -v "^WARNING: Location 'file:" || true; } >&2
cp "$wheel" "$run/"
mkdir -p "$run/repo"
cp -r "$root/tests" "$root/README.md" "$root/pyproject.toml" "$run/repo/"
in_bullseye "cd $inside && python3.13 -m venv venv &&
  venv/bin/python -m pip install -q --no-index --find-links wheels './$(basename "$wheel")[test]'" ||
  die "pip on glibc $glibc refused $(basename "$wheel") or its test tools (above)"
# From / only the installed wheel is importable. Python loads extensions with RTLD_NOW, so a
# symbol this glibc lacks fails the import even where the wheel's tag claims otherwise.
in_bullseye "cd / && $inside/venv/bin/python -c 'import corvantis._vellora_core as core, sys
assert core.__file__.startswith(sys.prefix), core.__file__'" ||
  die "the extension of $(basename "$wheel") does not load on glibc $glibc (above)"
in_bullseye "cd / && $inside/venv/bin/python -m pytest -q -p no:cacheprovider -rs $inside/repo/tests/python"
