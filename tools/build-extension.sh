#!/usr/bin/env bash
# Builds the extension through its build backend and installs the package
# into a venv. Incremental: each flavour keeps its own CMake build directory.
# "address" builds it with sanitizers, "portable" the variant that takes the
# branches meant for systems other than Linux, "portable-address" both.
#   tools/build-extension.sh VENV_DIR [address|portable|portable-address]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
venv=${1:?usage: build-extension.sh VENV_DIR [address|portable|portable-address]}
flavour=${2:-}
sanitize=""
args=(--no-build-isolation --quiet --disable-pip-version-check --no-deps)
case $flavour in
    "" | address | portable | portable-address) ;;
    *) echo "[build] error: unknown flavour $flavour" >&2; exit 1 ;;
esac
[ -n "$flavour" ] && args+=(-C "build-dir=build/python-$flavour")
case $flavour in
    *address)
        sanitize=address
        # At -O1 with line tables only: half the compile time of a full debugging build at -O2.
        args+=(-C "cmake.define.TORVAN_SANITIZE=$sanitize" -C cmake.build-type=RelWithDebInfo
               -C "cmake.define.CMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG") ;;
esac
case $flavour in
    portable*) args+=(-C cmake.define.TORVAN_PORTABLE=ON) ;;
esac
echo "[build] extension${flavour:+ ($flavour)} into $venv" >&2
cd "$here"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)} \
        "$venv/bin/python" -m pip install "${args[@]}" . >"$log" 2>&1; then
    grep -v "is ignored: it is neither a file nor a directory" "$log" >&2
    echo "[build] error: the extension failed to build" >&2
    exit 1
fi
preload=""
[ "$sanitize" = address ] && preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
LD_PRELOAD=$preload ASAN_OPTIONS=detect_leaks=0 "$venv/bin/python" -P -c "import torvan._torvan" \
    || { echo "[build] error: torvan._torvan does not import" >&2; exit 1; }
