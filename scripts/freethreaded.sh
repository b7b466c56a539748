#!/usr/bin/env bash
# freethreaded.sh: prints the path of a free-threaded CPython (python3.13t or python3.14t), building
# it from Debian's source into a cache under /var/cache/vellora the first time (about 6 minutes on
# 2 cores each).
#
#   bash scripts/freethreaded.sh              # 3.13, --disable-gil                          -> .../py313t
#   bash scripts/freethreaded.sh 3.14         # 3.14, --disable-gil                          -> .../py314t
#   bash scripts/freethreaded.sh 3.13 tsan    # 3.13, --disable-gil --with-thread-sanitizer  -> .../py313t-tsan
#                                             # (with CPython's own TSan suppressions in lib/)
#
# The sources and their checksums are listed in common.sh (cpython_tarball).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

cache="${VELLORA_CACHE:-/var/cache/vellora}"
minor="${1:-3.13}"
variant="${2:-plain}"
case "$minor" in
  3.13|3.14) ;;
  *) echo "usage: $0 [3.13|3.14] [tsan]" >&2; exit 2 ;;
esac
name="py${minor/./}t"
case "$variant" in
  plain) prefix="$cache/$name"; configure_flags=(--disable-gil) ;;
  tsan) prefix="$cache/$name-tsan"; configure_flags=(--disable-gil --with-thread-sanitizer) ;;
  *) echo "usage: $0 [3.13|3.14] [tsan]" >&2; exit 2 ;;
esac
readonly python="$prefix/bin/python${minor}t"

mkdir -p "$cache"
# One build at a time: CI and a developer's run on the same machine share the cache.
exec 9>"$cache/.$name-$variant.lock"
flock 9

# The stamp is written last, so an interrupted build is redone rather than half used.
if [ -x "$python" ] && [ -f "$prefix/.complete" ]; then
  echo "$python"
  exit 0
fi

apt_install build-essential curl xz-utils pkg-config libssl-dev zlib1g-dev libffi-dev libbz2-dev \
  liblzma-dev libsqlite3-dev libreadline-dev uuid-dev
source_tarball="$(cpython_tarball "$minor")"

build="$cache/build/$name-$variant"
rm -rf "$build" "$prefix"
mkdir -p "$build"
tar -xJf "$source_tarball" -C "$build" --strip-components=1
echo "==> building $(basename "$source_tarball") (${configure_flags[*]}) into $prefix" >&2
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
