#!/usr/bin/env bash
# Installs Debian packages when a command or file of theirs is missing, as
# root through apt-get. Stages that run at the same time (make test's cross
# checks beside its native tests) take turns: one apt-get at a time.
#   tools/need-debian.sh PROBE PACKAGE...    PROBE: a command name or a path
set -euo pipefail
probe=${1:?usage: need-debian.sh PROBE PACKAGE...}
shift
[ $# -gt 0 ] || { echo "usage: need-debian.sh PROBE PACKAGE..." >&2; exit 2; }
present() { command -v "$probe" >/dev/null 2>&1 || [ -e "$probe" ]; }
present && exit 0
if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
    echo "[debian] error: $probe is missing; install the Debian packages $*" >&2
    exit 1
fi
exec 9>/tmp/.torvan-apt.lock
flock 9
present && exit 0  # installed by the stage that held the lock
echo "[debian] installing $*" >&2
export DEBIAN_FRONTEND=noninteractive
# Other programs' apt-get runs are waited for too.
apt=(apt-get -qq -o DPkg::Lock::Timeout=600)
{ "${apt[@]}" update && "${apt[@]}" install -y --no-install-recommends "$@"; } >/dev/null \
    || { echo "[debian] error: could not install $*" >&2; exit 1; }
present || { echo "[debian] error: $* installed, but $probe is still missing" >&2; exit 1; }
