#!/usr/bin/env bash
# musl_python.sh TARBALL PREFIX ZLIB LIBFFI SQLITE [CONFIGURE ARGUMENTS...]: builds the CPython of a
# source tarball against musl into PREFIX, stamped PREFIX/.complete when done, for trying the
# musllinux wheels. zlib, libffi and SQLite (source tarballs: for zip files, ctypes and mypy's
# cache) are built static, with -fPIC, once into musl-deps beside PREFIX. For this machine it takes
# Debian's musl-gcc (and musl, musl-dev, musl-tools); tcl generates some of SQLite's sources.
#   MUSL_TARGET  another machine (aarch64): built by zig's clang (ZIG), installed under DESTDIR,
#                with configure's cross-compiling arguments among the runner's; the runner checks
#                and stamps the result in the root it runs in
#   VELLORA_JOBS parallel make jobs (default: 2)
set -euo pipefail
[ $# -ge 5 ] || { echo "usage: musl_python.sh TARBALL PREFIX ZLIB LIBFFI SQLITE [CONFIGURE ARGUMENTS...]" >&2; exit 2; }
tarball="$(realpath "$1")"
prefix="$(realpath -m "$2")"
zlib="$(realpath "$3")" libffi="$(realpath "$4")" sqlite="$(realpath "$5")"
shift 5
jobs="${VELLORA_JOBS:-2}"
stage="${DESTDIR:-}$prefix"
deps="$(dirname "$stage")/musl-deps"
mkdir -p "$(dirname "$stage")"

# FOLDER/bin/musl-cc: musl-gcc that also sees the kernel's headers (libffi includes linux/limits.h),
# after musl's own and without glibc's, and that answers --print-multiarch with nothing, as CPython's
# configure otherwise finds the host's glibc triplet and refuses musl's.
write_wrapper() {  # folder
  local kernel="$1/kernel-include" arch
  # zig brings musl and the kernel's headers for every machine. It links programs static unless
  # told (and a static CPython loads no extension module); libffi 3.4.4 calls a function it never
  # declares, which clang refuses, and zig refuses CPython's build date as unreproducible.
  if [ -n "${MUSL_TARGET:-}" ]; then
    mkdir -p "$1/bin"
    printf '#!/bin/sh\nfor arg; do [ "$arg" = --print-multiarch ] && exit 0; done\nexec "%s" cc -target %s %s "$@"\n' \
      "$ZIG" "$MUSL_TARGET-linux-musl" "-dynamic -Wno-error=implicit-function-declaration -Wno-error=date-time" \
      >"$1/bin/musl-cc"
    printf '#!/bin/sh\nexec "%s" ar "$@"\n' "$ZIG" >"$1/bin/musl-ar"
    chmod 755 "$1/bin/musl-cc" "$1/bin/musl-ar"
    return
  fi
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
  ln -sfn "$(command -v ar)" "$1/bin/musl-ar"
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
    unset DESTDIR  # for the interpreter alone
    write_wrapper "$deps"
    export CC="$deps/bin/musl-cc" AR="$deps/bin/musl-ar" CFLAGS="-O2 -fPIC"
    host=(${MUSL_TARGET:+--host="$MUSL_TARGET-linux-musl"})
    unpack "$zlib" "$deps.build/zlib"
    ./configure --static --prefix="$deps"
    make -j"$jobs"
    make install
    unpack "$libffi" "$deps.build/libffi"
    ./configure "${host[@]}" --prefix="$deps" --disable-shared --enable-static --with-pic --disable-docs \
      --disable-multi-os-directory
    make -j"$jobs"
    make install
    unpack "$sqlite" "$deps.build/sqlite"
    ./configure "${host[@]}" --prefix="$deps" --disable-shared --enable-static --disable-tcl --disable-readline
    make -j"$jobs" libsqlite3.la
    cp .libs/libsqlite3.a "$deps/lib/"
    cp sqlite3.h sqlite3ext.h "$deps/include/"
    cp sqlite3.pc "$deps/lib/pkgconfig/"
    rm -rf "$deps.build"
    touch "$deps/.complete"
  fi
) 9>"$deps.lock"

rm -rf "$stage"
write_wrapper "$stage"
(
  unpack "$tarball" "$stage.build"
  # configure tells musl by a mark of musl's <stdarg.h>, which clang's own hides: say it is musl, or the
  # interpreter's ABI tag leaves out its machine and C library.
  [ -z "${MUSL_TARGET:-}" ] || sed -i 's/^#  ifdef __DEFINED_va_list$/#  if 1/' Misc/platform_triplet.c
  # Only the musl libraries above are visible to pkg-config: the host's are glibc's.
  export PKG_CONFIG_LIBDIR="$deps/lib/pkgconfig" PKG_CONFIG_PATH=""
  ./configure --prefix="$prefix" CC="$stage/bin/musl-cc" AR="$stage/bin/musl-ar" CPPFLAGS="-I$deps/include" \
    LDFLAGS="-L$deps/lib" "$@"
  make -j"$jobs"
  # The library's top level, the rest when first imported; all of it for another machine, where
  # importing would compile under emulation.
  make install COMPILEALL_OPTS="$([ -n "${MUSL_TARGET:-}" ] && echo -j0 || echo -l)"
)
python="$(find "$stage/bin" -maxdepth 1 -name 'python3.*[0-9]' -type f | head -n 1)"
if readelf -d "$python" | grep -q "libc\.so\.6"; then
  echo "musl_python: $python links glibc" >&2
  exit 1
fi
rm -rf "$stage.build"
[ -z "${MUSL_TARGET:-}" ] || exit 0
# The suite needs ctypes, zlib (pip's wheels are zip files) and sqlite3 (mypy's cache); a module that
# failed to build only warns in make.
"$python" -c 'import ctypes, zlib, sqlite3; ctypes.pythonapi.Py_IsInitialized'
printf '%s\n' "$python" >"$prefix/.complete"
