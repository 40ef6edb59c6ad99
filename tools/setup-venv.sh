#!/usr/bin/env bash
# Creates (or refreshes) a virtual environment on the free-threaded interpreter
# and installs the pinned requirements of each layer named, in order: build
# (always first), test, bench (requirements/<layer>.txt). A layer already
# installed from the same file is skipped, so make build never pays for the
# test tools and make test never for the benchmark's plotting stack.
#
# With --borrow-from OTHER_VENV, no layer is installed: the venv finds every
# package of OTHER_VENV after its own (a .pth file), so a second build of the
# extension (the sanitized one) can be tested without installing the same
# tools twice.
#   tools/setup-venv.sh VENV_DIR [LAYER...]
#   tools/setup-venv.sh VENV_DIR --borrow-from OTHER_VENV
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
venv=${1:?usage: setup-venv.sh VENV_DIR [LAYER...] | --borrow-from OTHER_VENV}
shift
borrow=""
if [ "${1:-}" = --borrow-from ]; then
    borrow=$(cd "${2:?--borrow-from needs a venv}" && pwd)
    layers=()
else
    layers=(build "$@")
fi
python=$("$here/tools/find-python.sh")

# A venv made from another interpreter is made again, without its layers.
made_from=$venv/.torvan-python
if ! [ -x "$venv/bin/python" ] || ! [ -f "$made_from" ] || [ "$(cat "$made_from")" != "$python" ]; then
    echo "[venv] creating $venv with $python" >&2
    rm -rf "$venv"
    "$python" -m venv "$venv"
    echo "$python" >"$made_from"
fi

if [ -n "$borrow" ]; then
    own=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
    other=$("$borrow/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
    [ -f "$own/torvan-borrowed.pth" ] && [ "$(cat "$own/torvan-borrowed.pth")" = "$other" ] && exit 0
    echo "[venv] $venv finds the packages of $borrow after its own" >&2
    echo "$other" >"$own/torvan-borrowed.pth"
    exit 0
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
for layer in "${layers[@]}"; do
    requirements=$here/requirements/$layer.txt
    [ -f "$requirements" ] || { echo "[venv] error: no requirements file $requirements" >&2; exit 1; }
    stamp=$venv/.torvan-stamp-$layer
    want=$(sha256sum "$requirements" | cut -d' ' -f1)
    [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ] && continue
    echo "[venv] installing the pinned $layer requirements (requirements/$layer.txt) into $venv" >&2
    if ! "$venv/bin/python" -m pip install --quiet --disable-pip-version-check -r "$requirements" >"$log" 2>&1; then
        grep -v "is ignored: it is neither a file nor a directory" "$log" >&2
        echo "[venv] error: the $layer requirements did not install" >&2
        exit 1
    fi
    echo "$want" >"$stamp"
done
