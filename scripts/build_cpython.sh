#!/usr/bin/env bash
# build_cpython.sh TARBALL PREFIX [CONFIGURE ARGUMENTS...]: configure, make and install a CPython
# from its source tarball into PREFIX. The job runner (scripts/runner) says which CPython, with which
# flags, from scripts/matrix.toml, and checks and stamps what it installed.
#   DESTDIR       installs under it (a build for a root)
#   MUSL          the machine of a build against musl: Debian's musl-gcc builds for this one, zig's
#                 clang (ZIG) for any; zlib, libffi and SQLite (MUSL_SOURCES, their tarballs: zip
#                 files, ctypes, mypy's cache) are built static once, beside PREFIX
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: bash scripts/build_cpython.sh TARBALL PREFIX [CONFIGURE ARGUMENTS...]" >&2; exit 2; }
tarball="$1" prefix="$2"
shift 2
stage="${DESTDIR:-}$prefix"
build="$(mktemp -d "${TMPDIR:-/tmp}/cpython-build.XXXXXX")"
trap 'rm -rf "$build"' EXIT
# Stopped (the runner ends a job's whole process group), the build folder still goes.
trap 'exit 143' TERM INT
rm -rf "$stage"
unpack() {  # tarball folder: unpacked there, and gone into
  mkdir -p "$2" && tar -xf "$1" -C "$2" --strip-components=1 && cd "$2"
}
quietly() {  # step command...: its output kept, its end shown if it fails
  "${@:2}" >"$build/$1.log" 2>&1 || { tail -n 40 "$build/$1.log" >&2; return 1; }
}

if [ -n "${MUSL:-}" ]; then
  # zig brings musl and the kernel's headers for every machine; it links programs static unless told
  # (a static CPython loads no extension module), and refuses libffi 3.4.4's undeclared function and
  # CPython's build date. musl-gcc is given the kernel's headers (libffi includes linux/limits.h)
  # after musl's own. Both answer --print-multiarch with nothing, or configure finds the host's glibc
  # triplet and refuses musl.
  mkdir -p "$stage/bin"
  if [ -n "${ZIG:-}" ]; then
    cc="\"$ZIG\" cc -target $MUSL-linux-musl -dynamic -Wno-error=implicit-function-declaration -Wno-error=date-time"
    ar="\"$ZIG\" ar" host=(--host="$MUSL-linux-musl")
  else
    kernel="$stage/kernel-include" multiarch="$(gcc -print-multiarch)"
    mkdir -p "$kernel"
    ln -sfn /usr/include/linux /usr/include/asm-generic "/usr/include/$multiarch/asm" "$kernel/"
    cc="musl-gcc -idirafter $kernel" ar=ar host=()
  fi
  printf '#!/bin/sh\nfor arg; do [ "$arg" = --print-multiarch ] && exit 0; done\nexec %s "$@"\n' "$cc" >"$stage/bin/musl-cc"
  printf '#!/bin/sh\nexec %s "$@"\n' "$ar" >"$stage/bin/musl-ar"
  chmod 755 "$stage/bin/musl-cc" "$stage/bin/musl-ar"
  export CC="$stage/bin/musl-cc" AR="$stage/bin/musl-ar"
  deps="$(dirname "$stage")/musl-deps"
  read -r zlib libffi sqlite <<<"$MUSL_SOURCES"
  (
    flock 9
    [ ! -f "$deps/.complete" ] || exit 0
    unset DESTDIR  # for the interpreter alone
    export CFLAGS="-O2 -fPIC"
    unpack "$zlib" "$build/zlib"
    ./configure --static --prefix="$deps"
    make -j"$(nproc)" install
    unpack "$libffi" "$build/libffi"
    ./configure "${host[@]}" --prefix="$deps" --disable-shared --enable-static --with-pic --disable-docs \
      --disable-multi-os-directory
    make -j"$(nproc)" install
    unpack "$sqlite" "$build/sqlite"  # tcl generates some of its sources
    ./configure "${host[@]}" --prefix="$deps" --disable-shared --enable-static --disable-tcl --disable-readline
    make -j"$(nproc)" libsqlite3.la
    cp .libs/libsqlite3.a "$deps/lib/"
    cp sqlite3.h sqlite3ext.h "$deps/include/"
    cp sqlite3.pc "$deps/lib/pkgconfig/"
    touch "$deps/.complete"
  ) 9>"$deps.lock"
  # Only the musl libraries are visible to pkg-config: the host's are glibc's.
  export CPPFLAGS="-I$deps/include" LDFLAGS="-L$deps/lib" PKG_CONFIG_LIBDIR="$deps/lib/pkgconfig" PKG_CONFIG_PATH=""
fi

unpack "$tarball" "$build/cpython"
# configure tells musl by a mark of musl's <stdarg.h>, which clang's own hides: told, or the ABI tag
# leaves out the machine and C library.
[ -z "${ZIG:-}" ] || sed -i 's/^#  ifdef __DEFINED_va_list$/#  if 1/' Misc/platform_triplet.c
echo "==> building $(basename "$tarball") ($*) into $prefix" >&2
quietly configure ./configure --prefix="$prefix" "$@"
# A sanitized interpreter runs while it builds itself; races it reports there are CPython's own.
export TSAN_OPTIONS="report_bugs=0"
quietly make make -j"$(nproc)"
# Byte-compiled at install: the library's top level alone, the rest when first imported (three passes
# over all of it take minutes, most of an hour under a sanitizer); all of it for a root, whose
# machine may be emulated.
quietly install make install COMPILEALL_OPTS="$([ -n "${DESTDIR:-}" ] && echo -j0 || echo -l)"
# The races CPython knows in itself, each with its reason, for runs under a sanitized interpreter.
if [[ " $* " == *" --with-thread-sanitizer "* ]]; then
  cp Tools/tsan/suppressions_free_threading.txt "$stage/lib/tsan-suppressions-cpython.txt"
fi
