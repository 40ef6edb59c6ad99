#!/usr/bin/env bash
# Prints the path of a free-threaded CPython 3.14 interpreter, building one into a
# per-user cache from the CPython source tarball when none can be found.
#
#   $PYTHON            used when set (must be a free-threaded 3.14)
#   python3.14t        used when on PATH
#   $TORVAN_CACHE      cache root (default: ${XDG_CACHE_HOME:-~/.cache}/torvan)
#   $CPYTHON_TARBALL   source tarball (default: ../shared/cpython/python3.14_3.14.7.orig.tar.xz)
#
# Progress goes to standard error; only the interpreter path goes to standard output.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cache=${TORVAN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/torvan}
prefix=$cache/cpython-3.14t
tarball=${CPYTHON_TARBALL:-$here/../shared/cpython/python3.14_3.14.7.orig.tar.xz}

say() { printf '[python] %s\n' "$*" >&2; }
die() { printf '[python] error: %s\n' "$*" >&2; exit 1; }

# A usable interpreter is CPython 3.14 built with --disable-gil.
is_free_threaded_314() {
    "$1" - <<'PY' >/dev/null 2>&1
import sys, sysconfig
ok = sys.version_info[:2] == (3, 14) and sysconfig.get_config_var("Py_GIL_DISABLED") == 1
sys.exit(0 if ok else 1)
PY
}

if [ -n "${PYTHON:-}" ]; then
    is_free_threaded_314 "$PYTHON" || die "\$PYTHON=$PYTHON is not a free-threaded CPython 3.14"
    command -v "$PYTHON"
    exit 0
fi
if candidate=$(command -v python3.14t 2>/dev/null) && is_free_threaded_314 "$candidate"; then
    echo "$candidate"
    exit 0
fi
if [ -x "$prefix/bin/python3.14t" ] && is_free_threaded_314 "$prefix/bin/python3.14t"; then
    echo "$prefix/bin/python3.14t"
    exit 0
fi

# Nothing found: build one. Serialise concurrent builds of the same cache.
[ -f "$tarball" ] || die "no free-threaded python3.14t found and no CPython source tarball at $tarball (set PYTHON or CPYTHON_TARBALL)"
mkdir -p "$cache"
exec 9>"$cache/.build.lock"
flock 9
if [ -x "$prefix/bin/python3.14t" ] && is_free_threaded_314 "$prefix/bin/python3.14t"; then
    echo "$prefix/bin/python3.14t"
    exit 0
fi

sums=$(dirname "$tarball")/SHA256SUMS
[ -f "$sums" ] || die "checksum file $sums is missing; refusing to build an unverified tarball"
name=$(basename "$tarball")
expected=$(awk -v n="$name" '$2 == n || $2 == "*"n {print $1}' "$sums")
[ -n "$expected" ] || die "$sums has no entry for $name"
actual=$(sha256sum "$tarball" | awk '{print $1}')
[ "$expected" = "$actual" ] || die "checksum mismatch for $name: expected $expected, got $actual"
say "checksum of $name verified"

work=$(mktemp -d "$cache/build.XXXXXX")
trap 'rm -rf "$work"' EXIT
say "unpacking $name"
tar -xf "$tarball" -C "$work"
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d | head -n 1)
jobs=$(nproc 2>/dev/null || echo 2)
log=$cache/build.log
# Neither the interpreter's own test suite nor a pip of its own is installed: nothing here runs the one, and
# every venv gets its pip from the bundled ensurepip. Both would add a minute to a fresh set-up.
say "configuring (--disable-gil, prefix $prefix); full log in $log"
(cd "$src" && ./configure --disable-gil --prefix="$prefix" --disable-test-modules --with-ensurepip=no >"$log" 2>&1) \
    || { tail -n 30 "$log" >&2; die "configure failed"; }
say "compiling with $jobs jobs (about 3 minutes on 2 cores)"
(cd "$src" && make -j"$jobs" >>"$log" 2>&1) || { tail -n 30 "$log" >&2; die "build failed"; }
say "installing into $prefix"
rm -rf "$prefix"
# Bytecode for the top level of the standard library only, where make install would compile all of it three
# times (once per optimisation level): a package's is written when it is first imported.
(cd "$src" && make install COMPILEALL_OPTS="-j0 -r 0" >>"$log" 2>&1) || { tail -n 30 "$log" >&2; die "install failed"; }
is_free_threaded_314 "$prefix/bin/python3.14t" || die "the interpreter built in $prefix is not free-threaded"
say "ready: $prefix/bin/python3.14t"
echo "$prefix/bin/python3.14t"
