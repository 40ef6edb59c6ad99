#!/usr/bin/env bash
# make check's Python suite, without the soak. Unless pytest arguments narrow
# it, the leak checks (half the suite's time, one process's memory measured)
# run in a process of their own beside the rest, one per core of a 2-core
# machine; each process's output is printed whole once both have ended.
#   tools/run-check.sh VENV_DIR [pytest args...]
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
venv=${1:?usage: run-check.sh VENV_DIR [pytest args...]}
shift
run=("$here/tools/run-python-tests.sh" "$venv" --deselect=tests/test_process.py::test_soak)
if [ $# -gt 0 ]; then
    exec "${run[@]}" "$@"
fi
leaks_log=$(mktemp)
rest_log=$(mktemp)
trap 'rm -f "$leaks_log" "$rest_log"' EXIT
"${run[@]}" tests/test_leaks.py >"$leaks_log" 2>&1 &
leaks=$!
"${run[@]}" tests --ignore=tests/test_leaks.py >"$rest_log" 2>&1 &
rest=$!
wait "$rest"
rest_status=$?
wait "$leaks"
leaks_status=$?
echo "[check] the suite but the leak checks" >&2
cat "$rest_log"
echo "[check] the leak checks" >&2
cat "$leaks_log"
[ "$rest_status" = 0 ] && [ "$leaks_status" = 0 ]
