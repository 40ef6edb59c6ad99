#!/usr/bin/env bash
# Provisions the cross toolchains of make test's platform checks and writes a
# CMake toolchain file per target into build/cross/<target>/; prints nothing
# on standard output.
#   aarch64-macos      the pinned C++ driver of requirements/cross.txt, from
#                      the package index, into the per-user cache
#   aarch64-linux-gnu  Debian's cross compiler, and its qemu-user to run what
#                      it builds
#   tools/setup-cross.sh TARGET...
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cache=${TORVAN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/torvan}
say() { printf '[cross] %s\n' "$*" >&2; }
die() { printf '[cross] error: %s\n' "$*" >&2; exit 1; }
[ $# -gt 0 ] || die "usage: setup-cross.sh TARGET..."

mkdir -p "$cache"
exec 9>"$cache/.cross.lock"
flock 9

need_debian() { "$here/tools/need-debian.sh" "$@"; }

# The macOS toolchain: a directory per pinned requirements file, reused while it is unchanged.
zig_toolchain() {
    local requirements=$here/requirements/cross.txt
    local dir
    dir=$cache/cross-$(sha256sum "$requirements" | cut -c1-16)
    if ! [ -x "$dir/ziglang/zig" ]; then
        local python
        python=$("$here/tools/find-python.sh")
        say "installing the pinned cross toolchain (requirements/cross.txt) into $dir"
        rm -rf "$dir.tmp" "$dir.pip"
        # The interpreter has no pip of its own: a throwaway venv lends its bundled one.
        "$python" -m venv "$dir.pip" || die "no venv to install the cross toolchain with"
        "$dir.pip/bin/python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
            --target "$dir.tmp" -r "$requirements" 2>&1 |
            grep -v "is ignored: it is neither a file nor a directory" >&2 || true
        rm -rf "$dir.pip"
        [ -x "$dir.tmp/ziglang/zig" ] || die "the cross toolchain did not install"
        rm -rf "$dir"
        mv "$dir.tmp" "$dir"
    fi
    echo "$dir/ziglang/zig"
}

# The native tests build GoogleTest from Debian's sources for every target.
need_debian /usr/src/googletest/CMakeLists.txt libgtest-dev
for target in "$@"; do
    dir=$here/build/cross/$target
    mkdir -p "$dir"
    case $target in
        aarch64-macos)
            zig=$(zig_toolchain)
            # It builds the target's C++ runtime once, into this cache.
            zig_cache=$cache/zig-cache
            for tool in c++ cc; do
                printf '#!/bin/sh\nZIG_GLOBAL_CACHE_DIR=%q exec %q %s -target %s "$@"\n' \
                    "$zig_cache" "$zig" "$tool" "$target" >"$dir/$tool"
            done
            for tool in ar ranlib; do
                printf '#!/bin/sh\nexec %q %s "$@"\n' "$zig" "$tool" >"$dir/$tool"
            done
            chmod +x "$dir/c++" "$dir/cc" "$dir/ar" "$dir/ranlib"
            cat >"$dir/toolchain.cmake" <<CMAKE
# Written by tools/setup-cross.sh: cross-compiling for macOS on 64-bit Arm.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(CMAKE_CXX_COMPILER "$dir/c++")
set(CMAKE_C_COMPILER "$dir/cc")
set(CMAKE_AR "$dir/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "$dir/ranlib" CACHE FILEPATH "")
# No SDK: the toolchain brings the target's C library headers and stubs.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "")
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "")
set(CMAKE_USER_MAKE_RULES_OVERRIDE "$dir/rules.cmake")
# Nothing is installed from a cross build, so nothing is renamed.
set(CMAKE_INSTALL_NAME_TOOL "$(type -P true)" CACHE FILEPATH "")
set(CMAKE_CXX_ARCHIVE_FINISH "<CMAKE_RANLIB> <TARGET>")
set(CMAKE_C_ARCHIVE_FINISH "<CMAKE_RANLIB> <TARGET>")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
CMAKE
            cat >"$dir/rules.cmake" <<CMAKE
# Written by tools/setup-cross.sh, read after CMake's platform rules.
# The toolchain's linker makes no MH_BUNDLE: a module is a dynamic library,
# which the interpreter's dlopen loads all the same.
set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared")
CMAKE
            ;;
        aarch64-linux-gnu)
            need_debian aarch64-linux-gnu-g++ g++-aarch64-linux-gnu
            need_debian qemu-aarch64 qemu-user
            cat >"$dir/toolchain.cmake" <<CMAKE
# Written by tools/setup-cross.sh: cross-compiling for Linux on 64-bit Arm,
# run under emulation.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
CMAKE
            ;;
        *) die "unknown target $target" ;;
    esac
done
