#!/usr/bin/env bash
# build_cpython.sh TARBALL PREFIX [CONFIGURE ARGUMENTS...]: configure, make and install a CPython
# from its source tarball into PREFIX, stamped PREFIX/.complete when done (written last, so an
# interrupted build is redone rather than half used). Runs on this machine or inside a root; the
# job runner (scripts/runner) says which CPython, with which flags, from scripts/matrix.toml.
#   DESTDIR  installs under it (a build for another machine, into its root); the runner checks and
#            stamps the result where it runs
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: bash scripts/build_cpython.sh TARBALL PREFIX [CONFIGURE ARGUMENTS...]" >&2; exit 2; }
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
# Byte-compiled at install: the library's top level alone, the rest when first imported (three passes
# over all of it take minutes, most of an hour under a sanitizer); all of it for another machine,
# where importing would compile under emulation.
make install COMPILEALL_OPTS="$([ -n "${DESTDIR:-}" ] && echo -j0 || echo -l)" >install.log 2>&1 ||
  { tail -n 40 install.log >&2; exit 1; }
# The races CPython knows in itself, each with its reason, for runs under a sanitized interpreter.
if [[ " $* " == *" --with-thread-sanitizer "* ]]; then
  cp Tools/tsan/suppressions_free_threading.txt "${DESTDIR:-}$prefix/lib/tsan-suppressions-cpython.txt"
fi
[ -z "${DESTDIR:-}" ] || exit 0
"$(ls "$prefix"/bin/python3.*[0-9t] | head -n 1)" "$(dirname "$0")/probe.py" modules "$([[ " $* " == *" --disable-gil "* ]] && echo True || echo False)"
touch "$prefix/.complete"
