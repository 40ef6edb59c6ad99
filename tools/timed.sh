#!/usr/bin/env bash
# Runs one stage of the build or the tests and prints how long it took, and
# the processor time it used (its processes', user and system: on 2 cores,
# what bounds make test's wall time); the line is also appended to
# build/stage-times.log for make test's summary.
#   tools/timed.sh STAGE COMMAND [ARGS...]
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
stage=${1:?usage: timed.sh STAGE COMMAND [ARGS...]}
shift
start=$(date +%s.%N)
"$@"
status=$?
seconds=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
# The second line of `times`: the children's user and system time, as 1m2.345s.
# Taken in this shell: a command substitution's subshell has no children of its own yet.
times_file=$(mktemp)
times >"$times_file"
cpu=$(awk 'NR == 2 { t = 0; for (i = 1; i <= 2; i++) { split($i, p, "m"); t += p[1] * 60 + p[2] } printf "%.1f", t }' \
    "$times_file")
rm -f "$times_file"
mkdir -p "$here/build"
printf '%s\t%s\t%s\t%s\n' "$stage" "$seconds" "$([ $status = 0 ] && echo ok || echo failed)" "$cpu" \
    >>"$here/build/stage-times.log"
printf '[time] %s: %s s, processor %s s%s\n' "$stage" "$seconds" "$cpu" "$([ $status = 0 ] || echo " (failed)")" >&2
exit $status
