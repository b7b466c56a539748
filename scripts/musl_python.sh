#!/usr/bin/env bash
# musl_python.sh TARBALL PREFIX ZLIB LIBFFI SQLITE [CONFIGURE ARGUMENTS...]: builds the CPython of a source tarball against musl
# (Debian's musl-gcc) into PREFIX, stamped PREFIX/.complete when done, for trying the musllinux wheels.
# zlib, libffi and SQLite (source tarballs: for zip files, ctypes and mypy's cache) are built static,
# with -fPIC, once into musl-deps beside PREFIX. Needs Debian's musl, musl-dev, musl-tools, and tcl
# (SQLite's build generates some of its sources with tclsh).
#   VELLORA_JOBS  parallel make jobs (default: 2)
set -euo pipefail
[ $# -ge 5 ] || { echo "usage: musl_python.sh TARBALL PREFIX ZLIB LIBFFI SQLITE [CONFIGURE ARGUMENTS...]" >&2; exit 2; }
tarball="$(realpath "$1")"
prefix="$(realpath -m "$2")"
zlib="$(realpath "$3")" libffi="$(realpath "$4")" sqlite="$(realpath "$5")"
shift 5
jobs="${VELLORA_JOBS:-2}"
deps="$(dirname "$prefix")/musl-deps"
mkdir -p "$(dirname "$prefix")"

# FOLDER/bin/musl-cc: musl-gcc that also sees the kernel's headers (libffi includes linux/limits.h),
# after musl's own and without glibc's, and that answers --print-multiarch with nothing, as CPython's
# configure otherwise finds the host's glibc triplet and refuses musl's.
write_wrapper() {  # folder
  local kernel="$1/kernel-include" arch
  arch="$(gcc -print-multiarch)"
  mkdir -p "$1/bin" "$kernel"
  ln -sfn /usr/include/linux "$kernel/linux"
  ln -sfn /usr/include/asm-generic "$kernel/asm-generic"
  ln -sfn "/usr/include/$arch/asm" "$kernel/asm"
  cat >"$1/bin/musl-cc" <<SCRIPT
#!/bin/sh
for arg; do [ "\$arg" = --print-multiarch ] && exit 0; done
exec musl-gcc -idirafter "$kernel" "\$@"
SCRIPT
  chmod 755 "$1/bin/musl-cc"
}

# Unpacks a source tarball into a fresh folder, and goes there.
unpack() {  # tarball folder
  rm -rf "$2"
  mkdir -p "$2"
  tar -xf "$1" -C "$2" --strip-components=1
  cd "$2"
}

(
  flock 9
  if [ ! -f "$deps/.complete" ]; then
    write_wrapper "$deps"
    export CC="$deps/bin/musl-cc" CFLAGS="-O2 -fPIC"
    unpack "$zlib" "$deps.build/zlib"
    ./configure --static --prefix="$deps"
    make -j"$jobs"
    make install
    unpack "$libffi" "$deps.build/libffi"
    ./configure --prefix="$deps" --disable-shared --enable-static --with-pic --disable-docs \
      --disable-multi-os-directory
    make -j"$jobs"
    make install
    unpack "$sqlite" "$deps.build/sqlite"
    ./configure --prefix="$deps" --disable-shared --enable-static --disable-tcl --disable-readline
    make -j"$jobs" libsqlite3.la
    cp .libs/libsqlite3.a "$deps/lib/"
    cp sqlite3.h sqlite3ext.h "$deps/include/"
    cp sqlite3.pc "$deps/lib/pkgconfig/"
    rm -rf "$deps.build"
    touch "$deps/.complete"
  fi
) 9>"$deps.lock"

rm -rf "$prefix"
write_wrapper "$prefix"
(
  unpack "$tarball" "$prefix.build"
  # Only the musl libraries above are visible to pkg-config: the host's are glibc's.
  export PKG_CONFIG_LIBDIR="$deps/lib/pkgconfig" PKG_CONFIG_PATH=""
  ./configure --prefix="$prefix" CC="$prefix/bin/musl-cc" CPPFLAGS="-I$deps/include" LDFLAGS="-L$deps/lib" "$@"
  make -j"$jobs"
  make install COMPILEALL_OPTS=-l  # the library's top level; the rest when first imported
)
python="$(find "$prefix/bin" -maxdepth 1 -name 'python3.*[0-9]' -type f | head -n 1)"
# The suite needs ctypes, zlib (pip's wheels are zip files) and sqlite3 (mypy's cache); a module that
# failed to build only warns in make.
"$python" -c 'import ctypes, zlib, sqlite3; ctypes.pythonapi.Py_IsInitialized'
if readelf -d "$python" | grep -q "libc\.so\.6"; then
  echo "musl_python: $python links glibc" >&2
  exit 1
fi
rm -rf "$prefix.build"
printf '%s\n' "$python" >"$prefix/.complete"
