#!/usr/bin/env bash
# Runs a stage beside the others and collects it later: make test starts its
# cross checks first and waits for them at its end.
#   tools/background.sh start NAME COMMAND [ARGS...]   output to build/background-NAME.log
#   tools/background.sh wait NAME                      prints that output; fails as the command did
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
action=${1:?usage: background.sh start|wait NAME [COMMAND...]}
name=${2:?usage: background.sh start|wait NAME [COMMAND...]}
shift 2
mkdir -p "$here/build"
base=$here/build/background-$name
case $action in
    start)
        rm -f "$base.rc"
        # The lock is taken here and held by the background job until it ends,
        # so that a wait that comes first still waits.
        exec 8>"$base.lock"
        flock 8
        ( set +e; "$@" </dev/null >"$base.log" 2>&1 8>&-; echo $? >"$base.rc" ) &
        echo "[background] $name started (output in ${base#$here/}.log)" >&2 ;;
    wait)
        [ -f "$base.lock" ] || { echo "[background] error: $name was never started" >&2; exit 1; }
        flock "$base.lock" true
        cat "$base.log" >&2
        [ -f "$base.rc" ] || { echo "[background] error: $name ended without a status" >&2; exit 1; }
        status=$(cat "$base.rc")
        [ "$status" = 0 ] || echo "[background] $name failed" >&2
        exit "$status" ;;
    *) echo "usage: background.sh start|wait NAME [COMMAND...]" >&2; exit 2 ;;
esac
