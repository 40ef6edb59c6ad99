#!/usr/bin/env bash
# Installs the artefacts of build-dist.sh into a fresh venv on the same
# interpreter, without build tools: first the wheel pip built from the sdist
# (what installing the sdist installs), then the manylinux wheel. After each it
# imports torvan and checks its version, licence, tag and a pool at work.
#   tools/check-dist.sh VENV_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
venv=${1:?usage: check-dist.sh VENV_DIR}
fresh=$here/build/dist-check-venv
cd "$here"
tar -tzf dist/torvan-*.tar.gz | grep -x 'torvan-[^/]*/LICENSE' >/dev/null \
    || { echo "[dist] error: the sdist has no LICENSE" >&2; exit 1; }
rm -rf "$fresh"
"$("$here/tools/find-python.sh")" -m venv --without-pip "$fresh"
check() {
    local wheel=$1 tag=$2
    echo "[dist] installing $(basename "$wheel") into a fresh venv" >&2
    "$venv/bin/python" -m pip --python "$fresh/bin/python" install --quiet --disable-pip-version-check \
        --no-deps --no-index --force-reinstall "$wheel"
    (cd / && "$fresh/bin/python" -P - "$tag" "$fresh") <<'PY'
import importlib.metadata
import re
import sys

import torvan

tag, prefix = sys.argv[1], sys.argv[2]
assert torvan.__file__.startswith(prefix), torvan.__file__
dist = importlib.metadata.distribution("torvan")
assert torvan.__version__ == dist.version, (torvan.__version__, dist.version)
licence = [f for f in dist.files if f.name == "LICENSE"]
assert licence and "MIT License" in licence[0].read_text(), "no MIT LICENSE in the installed wheel"
tags = re.findall(r"^Tag: (.*)$", dist.read_text("WHEEL"), re.MULTILINE)
assert tags and all(re.fullmatch(tag, t) for t in tags), tags
with torvan.ThreadPoolExecutor(2) as pool:
    assert list(pool.map(pow, [2, 3], [5, 2])) == [32, 9]
assert not sys._is_gil_enabled()
PY
}
arch=$(uname -m)
check build/dist-raw/torvan-*.whl "cp314-cp314t-linux_$arch"
check dist/torvan-*-manylinux_*.whl "cp314-cp314t-manylinux_[0-9]+_[0-9]+_$arch"
echo "[dist] the sdist's wheel and the manylinux wheel install and work in a fresh venv" >&2
