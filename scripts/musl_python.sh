#!/usr/bin/env bash
# musl_python.sh TARBALL PREFIX ZLIB LIBFFI SQLITE: builds the CPython of a source tarball against
# musl (Debian's musl-gcc) into PREFIX, for trying the musllinux wheels. zlib, libffi and SQLite
# (source tarballs), which it needs for zip files, ctypes and mypy's cache, are built static with
# -fPIC for musl once, into a folder beside PREFIX. A finished PREFIX holds .complete, written last;
# the job runner builds each PREFIX once, under a lock. Logs go to PREFIX.log.
#   VELLORA_JOBS  parallel make jobs (default: 2)
set -euo pipefail

[ $# -eq 5 ] || { echo "usage: musl_python.sh TARBALL PREFIX ZLIB LIBFFI SQLITE" >&2; exit 2; }
tarball="$(realpath "$1")"
prefix="$(realpath -m "$2")"
zlib="$(realpath "$3")" libffi="$(realpath "$4")" sqlite="$(realpath "$5")"
jobs="${VELLORA_JOBS:-2}"
deps="$(dirname "$prefix")/musl-deps"

die() { printf 'musl_python: %s\n' "$*" >&2; exit 1; }
[ -f "$tarball" ] || die "no such tarball: $tarball"
mkdir -p "$(dirname "$prefix")"

# Needs Debian's musl, musl-dev and musl-tools, and tcl (SQLite's build generates some of its
# sources with tclsh); the job runner installs them, and fetches the sources named in the table.

# Writes FOLDER/bin/musl-cc: musl-gcc that also sees the kernel's headers (libffi includes
# linux/limits.h), after musl's own and without glibc's, and that answers --print-multiarch with
# nothing, as CPython's configure otherwise finds the host's glibc triplet and refuses musl's.
write_wrapper() {  # folder
  local kernel="$1/kernel-include" arch
  arch="$(gcc -print-multiarch)"
  mkdir -p "$1/bin" "$kernel"
  ln -sfn /usr/include/linux "$kernel/linux"
  ln -sfn /usr/include/asm-generic "$kernel/asm-generic"
  ln -sfn "/usr/include/$arch/asm" "$kernel/asm"
  cat >"$1/bin/musl-cc" <<EOF
#!/bin/sh
for arg; do [ "\$arg" = --print-multiarch ] && exit 0; done
exec musl-gcc -idirafter "$kernel" "\$@"
EOF
  chmod 755 "$1/bin/musl-cc"
}

# Runs a build step with its output in the log, showing the log's end if it fails.
step() {  # what, then the command
  local what="$1"
  shift
  printf '==> %s\n' "$what" >&2
  "$@" >>"$log" 2>&1 || { tail -n 60 "$log" >&2; die "$what failed (log: $log)"; }
}

build_deps() {
  local work="$deps.build"
  rm -rf "$work"
  mkdir -p "$work"
  write_wrapper "$deps"
  mkdir "$work/zlib" "$work/libffi" "$work/sqlite"
  tar -xf "$zlib" -C "$work/zlib" --strip-components=1
  tar -xf "$libffi" -C "$work/libffi" --strip-components=1
  tar -xf "$sqlite" -C "$work/sqlite" --strip-components=1
  export CC="$deps/bin/musl-cc" CFLAGS="-O2 -fPIC"
  (cd "$work/zlib" && step "zlib: configure" ./configure --static --prefix="$deps" &&
    step "zlib: make" make -j"$jobs" && step "zlib: install" make install)
  (cd "$work/libffi" && step "libffi: configure" ./configure --prefix="$deps" --disable-shared --enable-static \
      --with-pic --disable-docs --disable-multi-os-directory &&
    step "libffi: make" make -j"$jobs" && step "libffi: install" make install)
  (cd "$work/sqlite" && step "sqlite: configure" ./configure --prefix="$deps" --disable-shared --enable-static \
      --disable-tcl --disable-readline &&
    step "sqlite: make" make -j"$jobs" libsqlite3.la &&
    cp .libs/libsqlite3.a "$deps/lib/" && cp sqlite3.h sqlite3ext.h "$deps/include/" &&
    cp sqlite3.pc "$deps/lib/pkgconfig/")
  unset CC CFLAGS
  rm -rf "$work"
  touch "$deps/.complete"
}

log="$prefix.log"
: >"$log"
(
  flock 9
  [ -f "$deps/.complete" ] || build_deps
) 9>"$deps.lock"

work="$prefix.build"
rm -rf "$work" "$prefix"
mkdir -p "$work"
write_wrapper "$prefix"
tar -xJf "$tarball" -C "$work" --strip-components=1
# Only the musl libraries above are visible to pkg-config: the host's are glibc's.
(
  cd "$work"
  export PKG_CONFIG_LIBDIR="$deps/lib/pkgconfig" PKG_CONFIG_PATH=""
  step "CPython: configure" ./configure --prefix="$prefix" CC="$prefix/bin/musl-cc" \
    CPPFLAGS="-I$deps/include" LDFLAGS="-L$deps/lib" --without-ensurepip --disable-test-modules
  step "CPython: make" make -j"$jobs"
  step "CPython: install" make install
)
python="$(find "$prefix/bin" -maxdepth 1 -name 'python3.*[0-9]' -type f | head -n 1)"
[ -x "$python" ] || die "no python in $prefix/bin"
# The suite needs ctypes, zlib (pip's wheels are zip files) and sqlite3 (mypy's cache); a module
# that failed to build only warns in make.
step "CPython: checking ctypes, zlib and sqlite3" "$python" -c 'import ctypes, zlib, sqlite3; ctypes.pythonapi.Py_IsInitialized'
readelf -d "$python" | grep -q "libc\.so\.6" && die "$python links glibc"
rm -rf "$work"
printf '%s\n' "$python" >"$prefix/.complete"
cat "$prefix/.complete"
