#!/usr/bin/env bash
# Creates (or refreshes) a virtual environment on the free-threaded interpreter
# with the pinned development dependencies. Does nothing when it is current.
#   tools/setup-venv.sh VENV_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
venv=${1:?usage: setup-venv.sh VENV_DIR}
requirements=$here/requirements/dev.txt
python=$("$here/tools/find-python.sh")

# The stamp records the interpreter and the requirements the venv was made from.
want="$python $(sha256sum "$requirements" | cut -d' ' -f1)"
stamp=$venv/.torvan-stamp
if [ -x "$venv/bin/python" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
    exit 0
fi
echo "[venv] creating $venv with $python" >&2
rm -rf "$venv"
"$python" -m venv "$venv"
echo "[venv] installing pinned dependencies from requirements/dev.txt" >&2
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! "$venv/bin/python" -m pip install --quiet --disable-pip-version-check -r "$requirements" >"$log" 2>&1; then
    grep -v "is ignored: it is neither a file nor a directory" "$log" >&2
    echo "[venv] error: the pinned dependencies did not install" >&2
    exit 1
fi
echo "$want" >"$stamp"
