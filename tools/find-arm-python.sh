#!/usr/bin/env bash
# Prints the prefix of a free-threaded CPython 3.14 for Linux on 64-bit Arm,
# cross-built once into the per-user cache from the same source tarball as
# the host's interpreter (tools/find-python.sh), which is its build python.
# The cache directory is named by the tarball's checksum and the configure
# options, so a change to either builds a new one.
#
# zlib and libffi (hypothesis needs the one, ctypes the other) come from
# Debian's arm64 packages, unpacked into the prefix: apt-get fetches them
# with an index of its own in the cache, so the machine's package state and
# architectures stay as they are. The modules that link them find them by
# their run path; the C library and libstdc++ are the cross toolchain's
# (qemu-aarch64 -L /usr/aarch64-linux-gnu).
#
#   $TORVAN_CACHE      cache root (default: ${XDG_CACHE_HOME:-~/.cache}/torvan)
#   $CPYTHON_TARBALL   source tarball (default: ../shared/cpython/python3.14_3.14.7.orig.tar.xz)
#
# Progress goes to standard error; only the prefix goes to standard output.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cache=${TORVAN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/torvan}
tarball=${CPYTHON_TARBALL:-$here/../shared/cpython/python3.14_3.14.7.orig.tar.xz}
host=aarch64-linux-gnu

say() { printf '[arm-python] %s\n' "$*" >&2; }
die() { printf '[arm-python] error: %s\n' "$*" >&2; exit 1; }

# What the cached build depends on besides the tarball. The ac_cv answers are
# the ones configure cannot find out without running a target program.
configure_options=(--host=$host --disable-gil --disable-test-modules --with-ensurepip=no
                   ac_cv_file__dev_ptmx=yes ac_cv_file__dev_ptc=no ac_cv_buggy_getaddrinfo=no)
packages=(zlib1g zlib1g-dev libffi8 libffi-dev)

[ -f "$tarball" ] || die "no CPython source tarball at $tarball (set CPYTHON_TARBALL)"
checksum=$(sha256sum "$tarball" | cut -d' ' -f1)
key=$(printf '%s\n' "$checksum" "${configure_options[@]}" "${packages[@]}" | sha256sum | cut -c1-16)
prefix=$cache/cpython-3.14t-$host-$key
ready=$prefix/.torvan-complete

if [ -f "$ready" ]; then
    echo "$prefix"
    exit 0
fi

"$here/tools/setup-cross.sh" $host
build_python=$("$here/tools/find-python.sh")

mkdir -p "$cache"
exec 9>"$cache/.build-$host.lock"
flock 9
if [ -f "$ready" ]; then  # built by the run that held the lock
    echo "$prefix"
    exit 0
fi

sums=$(dirname "$tarball")/SHA256SUMS
[ -f "$sums" ] || die "checksum file $sums is missing; refusing to build an unverified tarball"
expected=$(awk -v n="$(basename "$tarball")" '$2 == n || $2 == "*"n {print $1}' "$sums")
[ "$expected" = "$checksum" ] || die "checksum mismatch for $(basename "$tarball")"

work=$(mktemp -d "$cache/build-$host.XXXXXX")
trap 'rm -rf "$work"' EXIT
log=$cache/build-$host.log
rm -rf "$prefix"
deps=$prefix/deps
libdir=$deps/usr/lib/$host
mkdir -p "$deps"

# The arm64 packages, through an apt-get state of its own: only the lists it
# needs, no lock shared with the machine's apt-get runs, nothing installed.
say "fetching Debian's arm64 ${packages[*]}"
apt_dir=$cache/apt-arm64
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$work/debs"
apt=(apt-get -qq -o APT::Architectures::=arm64 -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
     -o Acquire::Languages=none -o APT::Sandbox::User="$(id -un)")
{ "${apt[@]}" update && (cd "$work/debs" && "${apt[@]}" download "${packages[@]/%/:arm64}"); } >"$log" 2>&1 \
    || { tail -n 20 "$log" >&2; die "could not fetch the arm64 packages"; }
for deb in "$work"/debs/*.deb; do
    dpkg-deb -x "$deb" "$deps"
    dpkg-deb --showformat='${Package} ${Version}\n' -W "$deb" >>"$deps/PACKAGES"
done
# One library directory: the runtime packages install into /lib, and the
# development links point there by absolute paths.
if [ -d "$deps/lib/$host" ]; then
    mv "$deps/lib/$host"/* "$libdir"/
    rm -rf "$deps/lib"
fi
for link in "$libdir"/*.so; do
    [ -L "$link" ] && ln -sfn "$(basename "$(readlink "$link")")" "$link"
done
[ -e "$libdir/libz.so" ] && [ -e "$libdir/libffi.so" ] || die "the arm64 packages lack libz.so or libffi.so"

say "unpacking $(basename "$tarball")"
tar -xf "$tarball" -C "$work"
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'Python-*' | head -n 1)
[ -n "$src" ] || die "$(basename "$tarball") holds no Python-* directory"
jobs=$(nproc 2>/dev/null || echo 2)

# pkg-config sees only the unpacked packages, so that no library of the host
# is taken for one of the target. Their .pc files leave out the multiarch
# include directory, which a native compiler searches by itself.
say "configuring for $host (build python $build_python); full log in $log"
(cd "$src" && ./configure --build="$(./config.guess)" --with-build-python="$build_python" --prefix="$prefix" \
    "${configure_options[@]}" \
    PKG_CONFIG_LIBDIR="$libdir/pkgconfig:$deps/usr/share/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$deps" \
    CPPFLAGS="-I$deps/usr/include/$host" LDFLAGS="-L$libdir -Wl,-rpath,$libdir" >>"$log" 2>&1) \
    || { tail -n 30 "$log" >&2; die "configure failed"; }
say "compiling with $jobs jobs (about 5 minutes on 2 cores)"
(cd "$src" && make -j"$jobs" >>"$log" 2>&1) || { tail -n 30 "$log" >&2; die "build failed"; }
say "installing into $prefix"
(cd "$src" && make install >>"$log" 2>&1) || { tail -n 30 "$log" >&2; die "install failed"; }
for module in zlib _ctypes; do
    ls "$prefix"/lib/python3.14t/lib-dynload/"$module".cpython-314t-$host.so >/dev/null 2>&1 \
        || die "the $module module was not built (see $log)"
done
touch "$ready"
say "ready: $prefix"
echo "$prefix"
