#!/usr/bin/env bash
# Provisions what the platform checks of make test need, each once into the
# per-user cache: the pinned cross toolchain (requirements/cross.txt) and, for
# running aarch64 Linux binaries, Debian's qemu-user and the aarch64 C library.
# Writes compiler wrappers and a CMake toolchain file per target into
# build/cross/<target>/ and prints nothing on standard output.
#   tools/setup-cross.sh TARGET...      (aarch64-macos, aarch64-linux-gnu)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cache=${TORVAN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/torvan}
say() { printf '[cross] %s\n' "$*" >&2; }
die() { printf '[cross] error: %s\n' "$*" >&2; exit 1; }
[ $# -gt 0 ] || die "usage: setup-cross.sh TARGET..."

mkdir -p "$cache"
exec 9>"$cache/.cross.lock"
flock 9

# The toolchain: a directory per pinned requirements file, reused while it is unchanged.
requirements=$here/requirements/cross.txt
pin=$(sha256sum "$requirements" | cut -c1-16)
toolchain=$cache/cross-$pin
if ! [ -x "$toolchain/ziglang/zig" ]; then
    python=$("$here/tools/find-python.sh")
    say "installing the pinned cross toolchain (requirements/cross.txt) into $toolchain"
    rm -rf "$toolchain.tmp"
    "$python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore --target "$toolchain.tmp" -r "$requirements" 2>&1 \
        | grep -v "is ignored: it is neither a file nor a directory" >&2 || true
    [ -x "$toolchain.tmp/ziglang/zig" ] || die "the cross toolchain did not install"
    rm -rf "$toolchain"
    mv "$toolchain.tmp" "$toolchain"
fi
zig=$toolchain/ziglang/zig
# The toolchain builds its C and C++ runtime libraries once per target, into this cache.
zig_cache=$cache/zig-cache

for target in "$@"; do
    case $target in
        aarch64-macos) system=Darwin processor=arm64 ;;
        aarch64-linux-gnu)
            system=Linux processor=aarch64
            if ! command -v qemu-aarch64 >/dev/null || ! [ -e /usr/aarch64-linux-gnu/lib/ld-linux-aarch64.so.1 ]; then
                [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null \
                    || die "qemu-aarch64 or the aarch64 C library is missing: install Debian's qemu-user and libc6-arm64-cross"
                say "installing Debian's qemu-user and libc6-arm64-cross"
                (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
                    qemu-user libc6-arm64-cross) >/dev/null
            fi ;;
        *) die "unknown target $target" ;;
    esac
    dir=$here/build/cross/$target
    mkdir -p "$dir"
    for tool in c++ cc; do
        printf '#!/bin/sh\nZIG_GLOBAL_CACHE_DIR=%q exec %q %s -target %s "$@"\n' "$zig_cache" "$zig" "$tool" "$target" \
            >"$dir/$tool"
    done
    for tool in ar ranlib; do
        printf '#!/bin/sh\nexec %q %s "$@"\n' "$zig" "$tool" >"$dir/$tool"
    done
    chmod +x "$dir/c++" "$dir/cc" "$dir/ar" "$dir/ranlib"
    cat >"$dir/toolchain.cmake" <<CMAKE
# Written by tools/setup-cross.sh: cross-compiling for $target.
set(CMAKE_SYSTEM_NAME $system)
set(CMAKE_SYSTEM_PROCESSOR $processor)
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
done
