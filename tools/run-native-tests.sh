#!/usr/bin/env bash
# Builds and runs the C++ tests of the native core three times: plain, under
# ThreadSanitizer and under AddressSanitizer with UndefinedBehaviorSanitizer.
# The portable flavours build the variant that takes the branches meant for
# systems other than Linux, plain and under ThreadSanitizer.
#   tools/run-native-tests.sh [plain|thread|address|portable|portable-thread ...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
flavours=("$@")
[ ${#flavours[@]} -gt 0 ] || flavours=(plain thread address)
jobs=$(nproc 2>/dev/null || echo 2)
# GoogleTest, prebuilt for this machine (its sources come with it, for the cross builds). Where it cannot be
# installed, the build compiles it from the sources.
if ! "$here/tools/need-debian.sh" "/usr/lib/$(gcc -print-multiarch)/libgtest.a" libgtest-dev 2>/dev/null; then
    "$here/tools/need-debian.sh" /usr/src/googletest/CMakeLists.txt googletest
fi
for flavour in "${flavours[@]}"; do
    dir=$here/build/native-$flavour
    portable=OFF
    sanitize=$flavour
    case $flavour in
        plain) sanitize="" ;;
        portable) sanitize="" portable=ON ;;
        portable-thread) sanitize=thread portable=ON ;;
    esac
    # Line tables only: a full debugging build took twice the compile time for nothing a report needs. The
    # sanitizers run at -O1, as their authors advise: UBSan's checks took the address build at -O2 twice as long
    # to compile. At -O1 GCC 12 miscompiles UBSan's null check of an initial-exec thread-local in an executable
    # (a false report), so that one check is left out; a use of a null pointer still faults, which
    # AddressSanitizer reports.
    flags="-O2 -g1 -DNDEBUG"
    skip=""
    [ -n "$sanitize" ] && flags="-O1 -g1 -DNDEBUG"
    [ "$sanitize" = address ] && skip=null
    echo "[native] building tests ($flavour)" >&2
    cmake -Wno-deprecated -S "$here" -B "$dir" -DTORVAN_BUILD_EXTENSION=OFF -DTORVAN_BUILD_NATIVE_TESTS=ON \
        -DTORVAN_SANITIZE="$sanitize" -DTORVAN_SANITIZE_SKIP="$skip" -DTORVAN_PORTABLE=$portable \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=$flags" >/dev/null
    cmake --build "$dir" --target torvan_native_tests -j "$jobs" >/dev/null
    echo "[native] running tests ($flavour)" >&2
    case $sanitize in
        thread) export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ;;
        address) export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" ;;
    esac
    "$dir/tests/native/torvan_native_tests" --gtest_brief=1
done
