# Toolchain: builds with zig's clang for musl libc (a musllinux wheel) on an x86-64 or aarch64
# Linux machine. Zig brings the C++ runtime (libc++, libc++abi, libunwind) and links it in, so
# the module needs nothing but musl's libc.so at run time.
#
# zig comes from PATH (`zig`, or `python-zig` of the `ziglang` package), or -DVELLORA_ZIG=PATH.
set(CMAKE_SYSTEM_NAME Linux)
if(NOT CMAKE_SYSTEM_PROCESSOR)
  set(CMAKE_SYSTEM_PROCESSOR ${CMAKE_HOST_SYSTEM_PROCESSOR})
endif()
set(VELLORA_ZIG_TARGET ${CMAKE_SYSTEM_PROCESSOR}-linux-musl)

find_program(VELLORA_ZIG NAMES zig python-zig REQUIRED)
set(CMAKE_C_COMPILER ${VELLORA_ZIG} cc -target ${VELLORA_ZIG_TARGET})
set(CMAKE_CXX_COMPILER ${VELLORA_ZIG} c++ -target ${VELLORA_ZIG_TARGET})

# With LTO the objects are LLVM bitcode, which only zig's own archiver indexes: CMake would
# otherwise take the host's llvm-ar, and its check of LTO support would fail without a word.
# The archiver must be one program, so each tool gets a two-line script.
set(_vellora_zig_tools ${CMAKE_BINARY_DIR}/zig-tools)
foreach(_tool ar ranlib)
  file(CONFIGURE OUTPUT ${_vellora_zig_tools}/${_tool}
    CONTENT "#!/bin/sh\nexec \"${VELLORA_ZIG}\" ${_tool} \"$@\"\n" @ONLY)
  file(CHMOD ${_vellora_zig_tools}/${_tool}
    PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_AR ${_vellora_zig_tools}/ar CACHE FILEPATH "zig ar" FORCE)
set(CMAKE_RANLIB ${_vellora_zig_tools}/ranlib CACHE FILEPATH "zig ranlib" FORCE)
foreach(_lang C CXX)
  set(CMAKE_${_lang}_COMPILER_AR ${CMAKE_AR} CACHE FILEPATH "zig ar" FORCE)
  set(CMAKE_${_lang}_COMPILER_RANLIB ${CMAKE_RANLIB} CACHE FILEPATH "zig ranlib" FORCE)
endforeach()

# Zig builds its libc++ with debug information, which would make up nine tenths of the module.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--strip-debug")

# Headers and libraries of the machine's own (glibc) system are not for this target.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
