#!/usr/bin/env bash
# build_cpython.sh TARBALL PREFIX [CONFIGURE FLAGS...]: configure, make and install a CPython from
# its source tarball into PREFIX, stamped PREFIX/.complete when done (written last, so an
# interrupted build is redone rather than half used). Runs on this machine or inside a root; the
# job runner (scripts/runner) says which CPython, with which flags, from scripts/matrix.toml. With
# DESTDIR set (a build for another machine, installed into its root) the runner checks and stamps
# the result where it runs.
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: bash scripts/build_cpython.sh TARBALL PREFIX [CONFIGURE FLAGS...]" >&2; exit 2; }
tarball="$1" prefix="$2"
shift 2

build="$(mktemp -d "${TMPDIR:-/tmp}/cpython-build.XXXXXX")"
trap 'rm -rf "$build"' EXIT
# Stopped (the runner ends a job's whole process group), the build folder still goes.
trap 'exit 143' TERM INT
rm -rf "${DESTDIR:-}$prefix"
tar -xJf "$tarball" -C "$build" --strip-components=1
cd "$build"
echo "==> building $(basename "$tarball") ($*) into $prefix" >&2
./configure --prefix="$prefix" "$@" >configure.log 2>&1 || { tail -n 40 configure.log >&2; exit 1; }
# A sanitized interpreter runs while it builds itself; races it reports there are CPython's own.
export TSAN_OPTIONS="report_bugs=0"
make -j"$(nproc)" >make.log 2>&1 || { tail -n 40 make.log >&2; exit 1; }
make install >install.log 2>&1 || { tail -n 40 install.log >&2; exit 1; }
# The races CPython knows in itself, each with its reason, for runs under a sanitized interpreter.
if [[ " $* " == *" --with-thread-sanitizer "* ]]; then
  cp Tools/tsan/suppressions_free_threading.txt "${DESTDIR:-}$prefix/lib/tsan-suppressions-cpython.txt"
fi
[ -z "${DESTDIR:-}" ] || exit 0
python="$(ls "$prefix"/bin/python3.*[0-9t] | head -n 1)"
"$python" -c 'import ssl, ctypes, sqlite3, lzma, bz2, zlib, sys; print(sys.version)' >&2
touch "$prefix/.complete"
