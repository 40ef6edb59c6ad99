#!/usr/bin/env bash
# Prints the stage times that tools/timed.sh logged since the log was last
# cleared (make test clears it when it starts), their sum and, when given,
# the wall time of the run (stages run side by side overlap).
#   tools/stage-summary.sh [WALL_SECONDS]
here=$(cd "$(dirname "$0")/.." && pwd)
log=$here/build/stage-times.log
[ -f "$log" ] || exit 0
awk -F'\t' -v wall="${1:-}" '
    BEGIN { printf "[time]   %-34s %9s %11s\n", "stage", "wall", "processor" }
    { printf "[time]   %-34s %7.1f s %9.1f s %s\n", $1, $2, $4, ($3 == "ok" ? "" : $3); total += $2; cpu += $4 }
    END {
        printf "[time]   %-34s %7.1f s %9.1f s\n", "all stages, one after another", total, cpu
        if (wall != "") printf "[time]   %-34s %7d s (%d min %d s)\n", "wall time", wall, wall / 60, wall % 60
    }' "$log" >&2
