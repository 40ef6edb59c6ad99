#!/usr/bin/env bash
# Runs the pytest suite with a venv's interpreter; with "address" the
# extension in that venv was built with AddressSanitizer and
# UndefinedBehaviorSanitizer, whose runtime must be loaded first. With
# --parallel-threads=N (pytest-run-parallel) every test not marked
# thread_unsafe is run by N threads at once.
# Without test paths among the pytest arguments, the whole of tests/ runs.
#   tools/run-python-tests.sh VENV_DIR [address] [pytest args...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
venv=${1:?usage: run-python-tests.sh VENV_DIR [address] [pytest args...]}
shift
sanitize=""
if [ "${1:-}" = address ]; then
    sanitize=address
    shift
fi
cd "$here"
if [ "$sanitize" = address ]; then
    echo "[test] Python tests under AddressSanitizer and UndefinedBehaviorSanitizer" >&2
    export LD_PRELOAD
    # libstdc++ must be loaded before the extension for the runtime to intercept C++ throws.
    LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
    # The interpreter itself is not instrumented and keeps memory to its end on
    # purpose, so leak detection would only report the interpreter.
    export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:verify_asan_link_order=0"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    export TORVAN_SANITIZED=1
else
    echo "[test] Python tests" >&2
fi
paths=(tests)
for arg in "$@"; do
    case $arg in
        --parallel-threads=*) echo "[test] each test not marked thread_unsafe run by ${arg#*=} threads at once" >&2 ;;
        tests*) paths=() ;;
    esac
done
exec "$venv/bin/python" -P -X faulthandler -m pytest -q -p no:cacheprovider "$@" "${paths[@]}"
