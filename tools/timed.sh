#!/usr/bin/env bash
# Runs one stage of the build or the tests and prints how long it took; the
# line is also appended to build/stage-times.log for make test's summary.
#   tools/timed.sh STAGE COMMAND [ARGS...]
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
stage=${1:?usage: timed.sh STAGE COMMAND [ARGS...]}
shift
start=$(date +%s.%N)
"$@"
status=$?
seconds=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
mkdir -p "$here/build"
printf '%s\t%s\t%s\n' "$stage" "$seconds" "$([ $status = 0 ] && echo ok || echo failed)" >>"$here/build/stage-times.log"
printf '[time] %s: %s s%s\n' "$stage" "$seconds" "$([ $status = 0 ] || echo " (failed)")" >&2
exit $status
