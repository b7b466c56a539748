#!/usr/bin/env bash
# musl_python.sh TARBALL PREFIX: builds the CPython of a source tarball against musl (Debian's
# musl-gcc) into PREFIX, for trying the musllinux wheels, and prints its python. zlib and libffi,
# which it needs for zip files and ctypes, are built static with -fPIC for musl once, into a
# folder beside PREFIX. A finished PREFIX holds .complete, written last, and is left alone; a lock
# keeps two runs from building the same PREFIX. Logs go to PREFIX.log; stdout has the path alone.
#   VELLORA_JOBS  parallel make jobs (default: 2)
set -euo pipefail

[ $# -eq 2 ] || { echo "usage: musl_python.sh TARBALL PREFIX" >&2; exit 2; }
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
tarball="$(realpath "$1")"
prefix="$(realpath -m "$2")"
jobs="${VELLORA_JOBS:-2}"
deps="$(dirname "$prefix")/musl-deps"

die() { printf 'musl_python: %s\n' "$*" >&2; exit 1; }
[ -f "$tarball" ] || die "no such tarball: $tarball"
finished() { if [ -f "$prefix/.complete" ]; then cat "$prefix/.complete"; exit 0; fi; }
finished
mkdir -p "$(dirname "$prefix")"
exec 8>"$prefix.lock"
flock 8
finished

# Needs Debian's musl, musl-dev and musl-tools, curl, and tcl (SQLite's build generates some of
# its sources with tclsh); the job runner installs them.

# zlib and libffi as Debian 12 ships them, SQLite as Debian 13 does (mypy keeps its cache in it),
# each checked against the SHA-256 its .dsc lists.
zlib_url=http://deb.debian.org/debian/pool/main/z/zlib/zlib_1.2.13.dfsg.orig.tar.bz2
zlib_sha256=71feb7947e3c00ef125f83b79a4e529bde31171e5babe48b391f06758d1ab0a1
ffi_url=http://deb.debian.org/debian/pool/main/libf/libffi/libffi_3.4.4.orig.tar.gz
ffi_sha256=d66c56ad259a82cf2a9dfc408b32bf5da52371500b84745f7fb8b645712df676
sqlite_url=http://deb.debian.org/debian/pool/main/s/sqlite3/sqlite3_3.46.1.orig.tar.xz
sqlite_sha256=d0cdd2ece271b29e7ce18095745d892517ee26d0f270065b3a25c2e9eb11639c

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

fetch() {  # url, sha256, destination
  local part
  part="$(mktemp "$3.part.XXXXXX")"
  curl -fsS -o "$part" "$1" || { rm -f "$part"; die "fetching $1 failed"; }
  echo "$2  $part" | sha256sum -c --quiet - >&2 || { rm -f "$part"; die "$1 does not match its SHA-256"; }
  mv -f "$part" "$3"
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
  fetch "$zlib_url" "$zlib_sha256" "$work/zlib.tar.bz2"
  fetch "$ffi_url" "$ffi_sha256" "$work/libffi.tar.gz"
  fetch "$sqlite_url" "$sqlite_sha256" "$work/sqlite.tar.xz"
  mkdir "$work/zlib" "$work/libffi" "$work/sqlite"
  tar -xjf "$work/zlib.tar.bz2" -C "$work/zlib" --strip-components=1
  tar -xzf "$work/libffi.tar.gz" -C "$work/libffi" --strip-components=1
  tar -xJf "$work/sqlite.tar.xz" -C "$work/sqlite" --strip-components=1
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
    CPPFLAGS="-I$deps/include" LDFLAGS="-L$deps/lib" --without-ensurepip
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
