#!/usr/bin/env bash
# Builds (once) and prints the path of a free-threaded CPython 3.14.
#
#   tools/ft-python.sh            the plain free-threaded build
#   tools/ft-python.sh tsan       the same, configured --with-thread-sanitizer
#
# The machines carry no free-threaded interpreter, so it is built from the
# upstream release tarball that Debian's archive serves beside its python3.14
# package, checked against the hash in Debian's signed .dsc. Builds live
# outside the clone (VORNIC_FT_CACHE, default /var/cache/vornic), keyed by
# version and flavour, so later runs and CI on the same machine reuse them.
# Needs root the first time (build dependencies from apt). The test modules
# are left out: installing them compiles thousands of files, slowly so under
# the sanitizer, and nothing here runs them.
set -euo pipefail

flavour=${1:-plain}
version=3.14.7
sha256=3b48dac8fb59f62eaa67ac83c1eb12bda1b7a08406dd286e252c11a66be27f81
cache=${VORNIC_FT_CACHE:-/var/cache/vornic}
case "$flavour" in
    plain) prefix=$cache/cpython-${version}t; extra=() ;;
    tsan) prefix=$cache/cpython-${version}t-tsan; extra=(--with-thread-sanitizer) ;;
    *) echo "ft-python: unknown flavour $flavour (plain or tsan)" >&2; exit 2 ;;
esac
py=$prefix/bin/python3.14t
log() { echo "[ft-python] $*" >&2; }

if [ -x "$py" ] && [ -f "$prefix/.vornic-ready" ]; then
    echo "$py"; exit 0
fi
mkdir -p "$cache"
exec 9>"$prefix.lock"
flock -w 3600 9
if [ -x "$py" ] && [ -f "$prefix/.vornic-ready" ]; then
    echo "$py"; exit 0
fi

deps=(build-essential pkg-config libssl-dev zlib1g-dev libffi-dev libbz2-dev libreadline-dev
      libsqlite3-dev liblzma-dev uuid-dev libncurses-dev libgdbm-dev libgdbm-compat-dev libzstd-dev xz-utils)
missing=()
for d in "${deps[@]}"; do dpkg -s "$d" >/dev/null 2>&1 || missing+=("$d"); done
if [ ${#missing[@]} -gt 0 ]; then
    [ "$(id -u)" = 0 ] || { echo "ft-python: needs root to install ${missing[*]}" >&2; exit 1; }
    log "installing ${missing[*]}"
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
fi

# The archive named by this machine's own apt configuration.
mirror=${VORNIC_DEBIAN_MIRROR:-$(grep -hoE '^(URIs:|deb) *https?://[^ ]+/debian/?' \
    /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null | head -n1 | grep -oE 'https?://[^ ]+' | sed 's:/*$::' || true)}
[ -n "$mirror" ] || { echo "ft-python: no Debian mirror in the apt configuration" >&2; exit 1; }
tarball=$cache/python3.14_${version}.orig.tar.xz
if [ ! -f "$tarball" ]; then
    log "fetching $mirror/pool/main/p/python3.14/python3.14_${version}.orig.tar.xz"
    for attempt in 1 2 3; do
        /usr/lib/apt/apt-helper download-file "$mirror/pool/main/p/python3.14/python3.14_${version}.orig.tar.xz" \
            "$tarball.part" "SHA256:$sha256" >&2 && break
        [ "$attempt" = 3 ] && { echo "ft-python: download failed" >&2; exit 1; }
        sleep 5
    done
    mv "$tarball.part" "$tarball"
fi

work=$(mktemp -d "$cache/build-$flavour.XXXXXX")
trap 'rm -rf "$work"' EXIT
tar -xf "$tarball" -C "$work"
src=$(find "$work" -maxdepth 1 -mindepth 1 -type d | head -n1)
log "building $flavour into $prefix (a few minutes)"
rm -rf "$prefix"
( cd "$src" && ./configure -q --disable-gil --prefix="$prefix" --with-ensurepip=install --disable-test-modules "${extra[@]}" >&2 \
    && make -s -j"$(nproc)" >"$work/make.log" 2>&1 && make -s install >"$work/install.log" 2>&1 ) \
    || { tail -n 40 "$work"/*.log >&2 2>/dev/null; echo "ft-python: build failed" >&2; exit 1; }
"$py" -c 'import sys, sysconfig; assert not sys._is_gil_enabled(); assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1' \
    || { echo "ft-python: the build is not free-threaded" >&2; exit 1; }
touch "$prefix/.vornic-ready"
echo "$py"
