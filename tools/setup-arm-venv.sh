#!/usr/bin/env bash
# Makes a venv for the aarch64 interpreter (tools/find-arm-python.sh) that
# the host runs under qemu-user, with the test requirements and the extension
# cross-built against that interpreter's headers, installed from a wheel.
#
# Its bin/python is a script that starts the interpreter under qemu-aarch64
# and hands it its own path as argv[0]: the interpreter takes that for
# sys.executable and finds the venv beside it, so that a test's child
# interpreter (sys.executable) runs emulated too, on a host that cannot
# execute aarch64 programs itself (no binfmt_misc registration needed).
#
# The packages are installed by the host venv's pip (--target, for the aarch64
# platform): the test requirements are pure Python; the extension's wheel is
# built by its build backend with the cross toolchain.
#   tools/setup-arm-venv.sh HOST_VENV ARM_VENV
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
host_venv=$(cd "${1:?usage: setup-arm-venv.sh HOST_VENV ARM_VENV}" && pwd)
venv=${2:?usage: setup-arm-venv.sh HOST_VENV ARM_VENV}
target=aarch64-linux-gnu
say() { printf '[arm-venv] %s\n' "$*" >&2; }
die() { printf '[arm-venv] error: %s\n' "$*" >&2; exit 1; }

prefix=$("$here/tools/find-arm-python.sh")
"$here/tools/setup-cross.sh" $target  # the toolchain file, qemu-user
mkdir -p "$venv"
venv=$(cd "$venv" && pwd)
site=$venv/lib/python3.14t/site-packages
pip=("$host_venv/bin/python" -m pip --disable-pip-version-check)
for_target=(--platform linux_aarch64 --platform manylinux2014_aarch64 --python-version 3.14 --implementation cp
            --abi cp314t --only-binary=:all:)

# A venv made for another interpreter is made again.
made_from=$venv/.torvan-python
if ! [ -f "$made_from" ] || [ "$(cat "$made_from")" != "$prefix" ]; then
    say "creating $venv for $prefix"
    rm -rf "$venv"
    mkdir -p "$venv/bin" "$site"
    version=$(sed -n 's/^#define PY_VERSION[[:space:]]*"\(.*\)"/\1/p' "$prefix/include/python3.14t/patchlevel.h")
    printf 'home = %s\ninclude-system-site-packages = false\nversion = %s\n' "$prefix/bin" "$version" \
        >"$venv/pyvenv.cfg"
    ln -s python "$venv/bin/python3"
    ln -s python "$venv/bin/python3.14t"
    echo "$prefix" >"$made_from"
fi
# The tests skip or await what qemu-user does not emulate as Linux does (TORVAN_EMULATED).
cat >"$venv/bin/python" <<SH
#!/bin/sh
# The aarch64 interpreter under emulation, with this script as its executable.
export TORVAN_EMULATED=1
exec qemu-aarch64 -L /usr/$target -0 "\$0" $(printf '%q' "$prefix/bin/python3.14t") "\$@"
SH
chmod +x "$venv/bin/python"

# The test requirements that the suite imports, pinned in requirements/test.txt.
requirements=$(grep -E '^(pytest|pytest-timeout|pytest-run-parallel|hypothesis)==' "$here/requirements/test.txt")
stamp=$venv/.torvan-stamp-test
if ! [ -f "$stamp" ] || [ "$(cat "$stamp")" != "$requirements" ]; then
    say "installing $(echo $requirements) into $venv"
    log=$(mktemp)
    # shellcheck disable=SC2086 # one requirement a word
    "${pip[@]}" install --quiet --upgrade --target "$site" "${for_target[@]}" $requirements >"$log" 2>&1 \
        || { cat "$log" >&2; rm -f "$log"; die "the test requirements did not install"; }
    rm -f "$log"
    echo "$requirements" >"$stamp"
fi

# The extension: a wheel from the build backend, cross-compiled (incremental in
# its own build directory), replacing the installed one.
say "building the extension for $target"
wheels=$here/build/arm-wheel
rm -rf "$wheels"
log=$here/build/arm-wheel.log
if ! _PYTHON_HOST_PLATFORM=linux-aarch64 CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)} \
        "${pip[@]}" wheel --no-build-isolation --no-deps --quiet --wheel-dir "$wheels" "$here" \
        -C "build-dir=$here/build/python-$target" \
        -C "cmake.define.CMAKE_TOOLCHAIN_FILE=$here/build/cross/$target/toolchain.cmake" \
        -C "cmake.define.TORVAN_PYTHON_INCLUDE_DIR=$prefix/include/python3.14t" \
        -C "cmake.define.TORVAN_PYTHON_MODULE_SUFFIX=.cpython-314t-$target.so" >"$log" 2>&1; then
    grep -v "is ignored: it is neither a file nor a directory" "$log" >&2
    die "the extension failed to build for $target"
fi
wheel=$(ls "$wheels"/torvan-*-cp314-cp314t-linux_aarch64.whl 2>/dev/null) \
    || die "no linux_aarch64 wheel in $wheels: $(ls "$wheels")"
rm -rf "$site"/torvan "$site"/torvan-*.dist-info
"${pip[@]}" install --quiet --no-deps --target "$site" "${for_target[@]}" "$wheel" \
    || die "the wheel did not install"
"$venv/bin/python" -P -c "import torvan._torvan, zlib, ctypes" \
    || die "torvan._torvan, zlib or ctypes does not import under emulation"
say "ready: $venv ($(basename "$wheel"))"
