#!/usr/bin/env bash
# Builds and runs the C++ tests of the native core three times: plain, under
# ThreadSanitizer and under AddressSanitizer with UndefinedBehaviorSanitizer.
#   tools/run-native-tests.sh [plain|thread|address ...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
flavours=("$@")
[ ${#flavours[@]} -gt 0 ] || flavours=(plain thread address)
jobs=$(nproc 2>/dev/null || echo 2)
# Flavours may be run side by side: one installs GoogleTest, the others wait for it.
mkdir -p "$here/build"
exec 8>"$here/build/.googletest.lock"
flock 8
if [ ! -f /usr/src/googletest/CMakeLists.txt ]; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        echo "[native] installing GoogleTest (Debian package libgtest-dev)" >&2
        (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev) >/dev/null
    else
        echo "[native] error: GoogleTest sources missing; install the Debian package libgtest-dev" >&2
        exit 1
    fi
fi
flock -u 8
for flavour in "${flavours[@]}"; do
    dir=$here/build/native-$flavour
    sanitize=$flavour
    [ "$flavour" = plain ] && sanitize=""
    # Line tables only: a full debugging build took twice the compile time for nothing a report needs. The
    # thread sanitizer is run at -O1, as its authors advise; the address build stays at -O2, where GCC 12 does
    # not miscompile UBSan's null check of an initial-exec thread-local in an executable.
    flags="-O2 -g1 -DNDEBUG"
    [ "$flavour" = thread ] && flags="-O1 -g1 -DNDEBUG"
    echo "[native] building tests ($flavour)" >&2
    cmake -Wno-deprecated -S "$here" -B "$dir" -DTORVAN_BUILD_EXTENSION=OFF -DTORVAN_BUILD_NATIVE_TESTS=ON \
        -DTORVAN_SANITIZE="$sanitize" -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=$flags" \
        >/dev/null
    cmake --build "$dir" --target torvan_native_tests -j "$jobs" >/dev/null
    echo "[native] running tests ($flavour)" >&2
    case $flavour in
        thread) export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ;;
        address) export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" ;;
    esac
    "$dir/tests/native/torvan_native_tests" --gtest_brief=1
done
