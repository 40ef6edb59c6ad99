#!/usr/bin/env bash
# Prints the stage times that tools/timed.sh logged since the log was last
# cleared (make test clears it when it starts), their total, and the time
# since the clearing: less than the total, as the cross checks run beside
# the other stages.
#   tools/stage-summary.sh
here=$(cd "$(dirname "$0")/.." && pwd)
log=$here/build/stage-times.log
[ -f "$log" ] || exit 0
awk -F'\t' '{ printf "[time]   %-34s %7.1f s %s\n", $1, $2, ($3 == "ok" ? "" : $3); total += $2 }
    END { printf "[time]   %-34s %7.1f s (%d min %d s)\n", "all stages", total, total / 60, total % 60 }' "$log" >&2
start=$here/build/stage-times.start
if [ -f "$start" ]; then
    wall=$(( $(date +%s) - $(cat "$start") ))
    printf '[time]   %-34s %7d s (%d min %d s)\n' "wall clock" "$wall" $((wall / 60)) $((wall % 60)) >&2
fi
