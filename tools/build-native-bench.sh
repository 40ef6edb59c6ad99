#!/usr/bin/env bash
# Builds the native engine benchmark (Release) when its sources exist.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
if ! ls "$here"/benchmarks/native/*.cpp >/dev/null 2>&1; then
    exit 0
fi
dir=$here/build/bench-native
echo "[bench] building the native engine benchmark" >&2
cmake -Wno-deprecated -S "$here" -B "$dir" -DTORVAN_BUILD_EXTENSION=OFF -DTORVAN_BUILD_NATIVE_BENCH=ON \
    -DTORVAN_SANITIZE= -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$dir" --target torvan_native_bench -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
