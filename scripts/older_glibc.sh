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
# Debian 13 lists this tarball, with its SHA-256, in dists/trixie/main/source/Sources.xz; it is
# written here as well so that the check still holds once trixie moves to a later point release.
source_tarball="python3.13_${python_version}.orig.tar.xz"
source_sha256=93e583f243454e6e9e4588ca2c2662206ad961659863277afcdb96801647d640
# The name says what the root holds: a change to its recipe means a new name, so an old root is
# never taken for a new one.
system="$cache/$suite-py${python_version}"
packages=build-essential,libssl-dev,zlib1g-dev,libffi-dev,libbz2-dev,liblzma-dev,libsqlite3-dev,libreadline-dev,libncurses-dev,xz-utils,ca-certificates

log() { printf '==> %s\n' "$*" >&2; }
die() { printf 'older_glibc: %s\n' "$*" >&2; exit 1; }

# Runs a shell command inside the root, in a mount namespace of its own, so /proc and /dev go
# away with it whatever happens.
in_root() {  # dir, command
  unshare --mount --fork sh -c '
    mount --make-rprivate /
    mount -t proc proc "$1/proc"
    mount --rbind /dev "$1/dev"
    exec chroot "$1" /usr/bin/env -i HOME=/root PATH=/opt/py313/bin:/usr/bin:/bin LANG=C.UTF-8 sh -ec "$2"
  ' in_root "$1" "$2"
}

fetch_source() {  # destination
  local listed
  mkdir -p "$cache/sources"
  if [ ! -f "$cache/sources/$source_tarball" ]; then
    log "CPython $python_version source: Debian 13's python3.13 source package"
    curl -fsS -o "$cache/sources/trixie-Sources.xz" "$debian/dists/trixie/main/source/Sources.xz"
    listed="$(xz -dc "$cache/sources/trixie-Sources.xz" |
      awk -v file="$source_tarball" '$3 == file && length($1) == 64 && !seen { print $1; seen = 1 }')"
    [ -z "$listed" ] || [ "$listed" = "$source_sha256" ] ||
      die "trixie's Sources.xz lists $listed for $source_tarball, this script $source_sha256"
    curl -fsS -o "$cache/sources/$source_tarball.part" "$debian/pool/main/p/python3.13/$source_tarball"
    mv "$cache/sources/$source_tarball.part" "$cache/sources/$source_tarball"
  fi
  echo "$source_sha256  $cache/sources/$source_tarball" | sha256sum -c --quiet - ||
    { rm -f "$cache/sources/$source_tarball"; die "$source_tarball does not match its SHA-256"; }
  tar -xJf "$cache/sources/$source_tarball" -C "$1"
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
  in_root "$building" "cd /build/Python-$python_version && ./configure --prefix=/opt/py313 \
    && make -j${VELLORA_JOBS:-2} && make install" >"$cache/cpython-build.log" 2>&1 ||
    { tail -40 "$cache/cpython-build.log" >&2; die "building CPython in $suite failed"; }
  rm -rf "$building/build"
  in_root "$building" 'python3.13 -c "import ssl, sqlite3, ctypes, lzma, bz2, zlib, readline, sys; print(sys.version)"' ||
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
glibc="$(in_root "$system" 'ldd --version' | sed -n '1s/.* //p')"
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
in_root "$system" "cd $inside && python3.13 -m venv venv &&
  venv/bin/python -m pip install -q --no-index --find-links wheels './$(basename "$wheel")[test]'" ||
  die "pip on glibc $glibc refused $(basename "$wheel") or its test tools (above)"
# From / only the installed wheel is importable. Python loads extensions with RTLD_NOW, so a
# symbol this glibc lacks fails the import even where the wheel's tag claims otherwise.
in_root "$system" "cd / && $inside/venv/bin/python -c 'import corvantis._vellora_core as core, sys
assert core.__file__.startswith(sys.prefix), core.__file__'" ||
  die "the extension of $(basename "$wheel") does not load on glibc $glibc (above)"
in_root "$system" "cd / && $inside/venv/bin/python -m pytest -q -p no:cacheprovider -rs $inside/repo/tests/python"
