#!/usr/bin/env bash
# freethreaded.sh: prints the path of a free-threaded CPython 3.13 (python3.13t), building it from
# source into a cache under /var/cache/vellora the first time (about 6 minutes on 2 cores).
#
#   bash scripts/freethreaded.sh          # --disable-gil                          -> .../py313t
#   bash scripts/freethreaded.sh tsan     # --disable-gil --with-thread-sanitizer  -> .../py313t-tsan
#                                         # (with CPython's own TSan suppressions in lib/)
#
# The source is CPython 3.13.5 as Debian 13 ships it; its checksum is taken from that release's
# source index, so a changed or truncated download is refused rather than built.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

readonly cache=/var/cache/vellora
readonly archive=http://deb.debian.org/debian
readonly tarball=python3.13_3.13.5.orig.tar.xz
readonly version=3.13.5

variant="${1:-plain}"
case "$variant" in
  plain) prefix="$cache/py313t"; configure_flags=(--disable-gil) ;;
  tsan) prefix="$cache/py313t-tsan"; configure_flags=(--disable-gil --with-thread-sanitizer) ;;
  *) echo "usage: $0 [tsan]" >&2; exit 2 ;;
esac
readonly python="$prefix/bin/python3.13t"

mkdir -p "$cache"
# One build at a time: CI and a developer's run on the same machine share the cache.
exec 9>"$cache/.py313t-$variant.lock"
flock 9

# The stamp is written last, so an interrupted build is redone rather than half used.
if [ -x "$python" ] && [ -f "$prefix/.complete" ]; then
  echo "$python"
  exit 0
fi

apt_install build-essential curl xz-utils pkg-config libssl-dev zlib1g-dev libffi-dev libbz2-dev \
  liblzma-dev libsqlite3-dev libreadline-dev uuid-dev

source_tarball="$cache/src/$tarball"
if [ ! -f "$source_tarball" ]; then
  mkdir -p "$cache/src"
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
  echo "==> fetching CPython $version source and Debian 13's source index" >&2
  curl -fsSL "$archive/dists/trixie/main/source/Sources.xz" -o "$work/Sources.xz"
  expected="$(xz -dc "$work/Sources.xz" |
    awk -v file="$tarball" '/^Package: python3\.13$/ {p = 1} /^$/ {p = 0}
                            p && /^Checksums-Sha256:/ {s = 1; next} p && /^[^ ]/ {s = 0}
                            p && s && $3 == file {print $1}')"
  if [ -z "$expected" ]; then
    echo "$tarball is not listed in Debian 13's source index" >&2
    exit 1
  fi
  curl -fsSL "$archive/pool/main/p/python3.13/$tarball" -o "$work/$tarball"
  echo "$expected  $work/$tarball" | sha256sum -c --quiet - >&2
  mv "$work/$tarball" "$source_tarball"
fi

build="$cache/build/py313t-$variant"
rm -rf "$build" "$prefix"
mkdir -p "$build"
tar -xJf "$source_tarball" -C "$build" --strip-components=1
echo "==> building CPython $version (${configure_flags[*]}) into $prefix" >&2
(
  cd "$build"
  ./configure --prefix="$prefix" "${configure_flags[@]}" >configure.log 2>&1 ||
    { tail -n 40 configure.log >&2; exit 1; }
  # A sanitized interpreter runs while it builds itself; races it reports there are CPython's own.
  export TSAN_OPTIONS="report_bugs=0"
  make -j"$(nproc)" >make.log 2>&1 || { tail -n 40 make.log >&2; exit 1; }
  make install >install.log 2>&1 || { tail -n 40 install.log >&2; exit 1; }
)
# The races CPython knows in itself, each with its reason, for runs under the sanitized interpreter.
if [ "$variant" = tsan ]; then
  cp "$build/Tools/tsan/suppressions_free_threading.txt" "$prefix/lib/tsan-suppressions-cpython.txt"
fi
rm -rf "$build"
TSAN_OPTIONS="report_bugs=0" "$python" -c 'import sys, ssl; assert not sys._is_gil_enabled()' >&2
touch "$prefix/.complete"
echo "$python"
