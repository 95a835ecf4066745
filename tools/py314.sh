#!/usr/bin/env bash
# Builds _vornic against CPython 3.14 and its debug build and runs the Python
# suite with both, plus the reference-leak check under the debug interpreter.
#
# The machines carry CPython only up to 3.13, so 3.14 comes from Debian's
# unstable distribution, installed into a root made with debootstrap under
# build/ (git-ignored, reused by later runs) and entered with chroot. The
# repository is bind-mounted into that root, so the tested sources are the
# working tree as it is now. Needs root.
#
#   tools/py314.sh            everything (root, both builds, both suites, leak check)
#   tools/py314.sh run CMD..  run CMD inside the root, in the repository, with mounts
#
# Environment: VORNIC_DEBIAN_MIRROR overrides the archive (default: the host's
# own Debian archive, read from its apt configuration); VORNIC_PY314_ROOT
# overrides where the root lives.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
root=${VORNIC_PY314_ROOT:-$repo/build/py314-root}
suite=unstable
# What the root needs: both interpreters with headers and venv support, a
# compiler and the build tools (Debian's cmake and ninja spare a download per
# build environment).
packages=(python3.14 python3.14-dev python3.14-venv python3.14-dbg g++ cmake ninja-build ca-certificates)
inner_repo=/vornic
venvs=/opt/vornic-venvs
ready_mark=$root/.vornic-ready
log_dir=$repo/build/py314-logs
host_ca=/etc/ssl/vornic-host-ca.crt
t0=$SECONDS

say() { printf '[py314 %4ds] %s\n' "$((SECONDS - t0))" "$*"; }
die() { printf 'py314: %s\n' "$*" >&2; exit 1; }

[ "$(id -u)" = 0 ] || die "needs root (debootstrap, chroot and bind mounts); run as root"

# Everything runs in a mount namespace of its own where the system allows it:
# the mounts below are then invisible outside, and vanish with the last
# process even when the run is killed, so a root left behind never carries a
# live mount of /dev or of the repository for `rm -rf build` to walk into.
if [ -z "${VORNIC_PY314_NS:-}" ] && command -v unshare >/dev/null 2>&1 \
        && unshare --mount --propagation private true 2>/dev/null; then
    export VORNIC_PY314_NS=1
    exec unshare --mount --propagation private "$0" "$@"
fi
mkdir -p "$repo/build" "$log_dir"

# One run at a time per root: a second run waits for the first.
exec 9>"$root.lock"
flock -w 3600 9 || die "timed out waiting for another run holding $root.lock"

# --- mounts ----------------------------------------------------------------

# Every mount point below the root, deepest first.
mounts_under_root() {
    awk -v r="$root" '$2 == r || index($2, r "/") == 1 { print $2 }' /proc/self/mounts | sort -r
}

unmount_all() {
    local m
    for m in $(mounts_under_root); do
        umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true
    done
}

cleanup() {
    local rc=$?
    unmount_all
    if [ -n "$(mounts_under_root)" ]; then
        echo "py314: could not unmount: $(mounts_under_root | tr '\n' ' ')" >&2
        [ "$rc" = 0 ] && rc=1
    fi
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

mount_all() {
    unmount_all
    mount -t proc proc "$root/proc"
    # /sys read-only: the processor-count code reads the cgroup CPU quota.
    mount --bind /sys "$root/sys"
    mount -o remount,bind,ro "$root/sys"
    mount --make-rslave "$root/sys"
    mount --bind /dev "$root/dev"
    mount --make-rslave "$root/dev"
    mkdir -p "$root/dev/shm"
    mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"
    mkdir -p "$root$inner_repo"
    mount --bind "$repo" "$root$inner_repo"
    mount --make-rslave "$root$inner_repo"
    cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
    # The host's trust store as the host's own pip sees it: where HTTPS goes
    # through an inspecting proxy, its authority is only in the host's bundle.
    local bundle=${PIP_CERT:-${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}}
    if [ -r "$bundle" ]; then
        cp -L "$bundle" "$root$host_ca"
    elif [ -r "$root/etc/ssl/certs/ca-certificates.crt" ]; then
        cp -L "$root/etc/ssl/certs/ca-certificates.crt" "$root$host_ca"
    fi
}

# Runs a command inside the root with a clean environment; with
# IN_ROOT_LIMIT=seconds set, stops it after that long (see bounded).
in_root() {
    ${IN_ROOT_LIMIT:+timeout --signal=ABRT --kill-after=20 "$IN_ROOT_LIMIT"} \
    env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" DEBIAN_FRONTEND=noninteractive \
        PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_DEFAULT_TIMEOUT=180 PIP_ROOT_USER_ACTION=ignore \
        PIP_CERT=$host_ca SSL_CERT_FILE=$host_ca REQUESTS_CA_BUNDLE=$host_ca \
        ${CI:+CI=$CI} \
        chroot "$root" "$@"
}

# Runs a logged step; prints the log's tail if it fails.
logged() {
    local name=$1; shift
    if ! "$@" >"$log_dir/$name.log" 2>&1; then
        echo "py314: step '$name' failed; last lines of $log_dir/$name.log:" >&2
        tail -n 60 "$log_dir/$name.log" >&2
        return 1
    fi
}

# --- the root --------------------------------------------------------------

host_mirror() {
    if [ -n "${VORNIC_DEBIAN_MIRROR:-}" ]; then echo "$VORNIC_DEBIAN_MIRROR"; return; fi
    local uri
    uri=$(apt-get indextargets --format '$(REPO_URI)' 2>/dev/null | grep -v -- '-security' | grep -v -- '-ports' | head -n 1 || true)
    if [ -z "$uri" ]; then
        uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '/^URIs:/ { print $2 }' | grep -v -- '-security' | head -n 1 || true)
    fi
    if [ -z "$uri" ]; then
        uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /:\/\//) { print $i; exit } }' | grep -v -- '-security' | head -n 1 || true)
    fi
    [ -n "$uri" ] || die "cannot tell the Debian archive from the host's apt configuration; set VORNIC_DEBIAN_MIRROR"
    echo "${uri%/}"
}

# The host's apt network settings (a proxy, a relaxed Valid-Until for a frozen
# archive) apply inside the root as well.
carry_apt_settings() {
    apt-config dump 2>/dev/null \
        | grep -E '^Acquire::(https?::Proxy|Check-Valid-Until|Check-Date|Retries) ' \
        > "$root/etc/apt/apt.conf.d/90vornic-host" || true
    printf 'APT::Install-Recommends "false";\nAPT::Install-Suggests "false";\nDpkg::Use-Pty "false";\n' \
        > "$root/etc/apt/apt.conf.d/91vornic"
}

want_mark() { printf '%s\n' "$suite" "${packages[@]}"; }

root_ready() {
    [ -f "$ready_mark" ] && [ "$(cat "$ready_mark")" = "$(want_mark)" ] \
        && [ -x "$root/usr/bin/python3.14" ] && [ -x "$root/usr/bin/python3.14-dbg" ]
}

fresh_root() {
    unmount_all
    [ -z "$(mounts_under_root)" ] || die "refusing to remove $root: mounts remain under it"
    rm -rf --one-file-system "$root"
    debootstrap --variant=minbase --include=ca-certificates "$suite" "$root" "$1"
}

# Network steps get a second try: a dropped connection to the archive should
# not fail the run.
twice() {
    "$@" || { say "retrying: $1 $2"; sleep 5; "$@"; }
}

make_root() {
    if [ -x "$root/usr/bin/apt-get" ] && [ -f "$root/.vornic-base" ]; then
        say "reusing the base system in $root; installing the package set"
    else
        if ! command -v debootstrap >/dev/null 2>&1; then
            say "installing debootstrap on the host"
            twice logged host-apt bash -c 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap'
        fi
        local mirror
        mirror=$(host_mirror)
        say "debootstrap $suite into $root"
        twice logged debootstrap fresh_root "$mirror"
        touch "$root/.vornic-base"
    fi
    carry_apt_settings
    mount_all
    say "apt-get install ${packages[*]}"
    twice logged root-apt in_root bash -c "apt-get update -qq && apt-get install -y -qq ${packages[*]} && apt-get clean"
    want_mark > "$ready_mark"
}

if root_ready; then
    say "reusing $root"
    mount_all
else
    make_root
fi

if [ "${1:-}" = run ]; then
    shift
    in_root bash -c 'cd "$0" && exec "$@"' "$inner_repo" "$@"
    exit $?
fi

# --- build and test --------------------------------------------------------

# The step that runs inside the root, once per interpreter:
#   $1 interpreter, $2 venv, $3 build dir (relative to the repository),
#   $4 "dbg" for the debug interpreter.
# The debug interpreter has its own ABI (the 'd' flag), so it gets its own venv
# and build dir; the extension is built without NDEBUG there so that the
# assertions in CPython's inline header functions are live as well. Test extras
# that ship compiled code without wheels for the debug ABI (numpy) are left
# out; the tests that use them skip.
inner='
set -euo pipefail
py=$1 venv=$2 bdir=$3 kind=$4
cd "$0"
[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
vpy=$venv/bin/python
if [ "$kind" = dbg ]; then
    mapfile -t deps < <("$vpy" -c "
import tomllib
with open(\"pyproject.toml\", \"rb\") as f:
    extras = tomllib.load(f)[\"project\"][\"optional-dependencies\"][\"test\"]
print(\"\n\".join(r for r in extras if not r.startswith(\"numpy\")))")
    "$vpy" -m pip install -q "${deps[@]}"
    # Debian'"'"'s debug headers are symlinks to the release ones beside their own
    # pyconfig.h. CMake passes them with -isystem, and g++ canonicalises the
    # paths of system headers, so Python.h would resolve its "pyconfig.h" in
    # the release directory and the module would be built without Py_DEBUG:
    # its reference counting invisible to sys.gettotalrefcount().
    "$vpy" -m pip install -q --no-deps -C cmake.define.VORNIC_WERROR=ON -C cmake.build-type=Debug \
        -C cmake.define.CMAKE_CXX_FLAGS=-fno-canonical-system-headers -C build-dir="$bdir" .
    so=$("$vpy" -c "import _vornic; print(_vornic.__file__)")
    if ! nm -D "$so" | grep _Py_DECREF_DecRefTotal >/dev/null; then
        echo "the debug module was not built with Py_DEBUG (no counted Py_DECREF in $so)" >&2
        exit 1
    fi
else
    "$vpy" -m pip install -q -C cmake.define.VORNIC_WERROR=ON -C build-dir="$bdir" ".[test]"
fi
"$vpy" -c "import sys, _vornic; print(\"built\", _vornic.__file__, \"for\", sys.version.split()[0], \"debug\" if hasattr(sys, \"gettotalrefcount\") else \"release\")"
'

failures=()
# Seconds one pytest run and the leak check may take before they are stopped.
suite_limit=${VORNIC_PY314_SUITE_LIMIT:-900}
refleak_limit=${VORNIC_PY314_REFLEAK_LIMIT:-400}

bounded() {
    local limit=$1; shift
    local rc=0
    IN_ROOT_LIMIT=$limit "$@" || rc=$?
    if [ "$rc" = 124 ] || [ "$rc" = 134 ] || [ "$rc" = 137 ]; then
        echo "py314: stopped or aborted (exit $rc) after at most ${limit}s; the stacks above show where it was" >&2
    fi
    return "$rc"
}

# Runs one step of the test phase; a failing step is recorded and the later
# steps still run, so one run shows everything that is wrong.
step() {
    local name=$1; shift
    if ! "$@"; then
        failures+=("$name")
    fi
}

build() {
    local name=$1 py=$2 kind=$3
    say "build for $py"
    logged "build-$name" in_root bash -c "$inner" "$inner_repo" "$py" "$venvs/$name" "build/$name" "$kind" || return 1
    tail -n 1 "$log_dir/build-$name.log"
}

pytest_under() {
    local name=$1 py=$2
    say "pytest under $py"
    # -X dev: warnings shown, and resource and asyncio debug checks on.
    # --capture=sys: what the interpreter itself writes to fd 2 (a debug
    # build's fatal error, an assertion) reaches the log instead of dying
    # with pytest's capture file when the process aborts.
    # The outer bound: pytest-timeout's signal cannot interrupt a thread stuck
    # in a native wait, so a hang would otherwise run into CI's own limit.
    # SIGABRT makes faulthandler (on under -X dev) print every thread's stack.
    bounded "$suite_limit" in_root bash -c 'cd "$0" && exec "$1" -X dev -m pytest -q -p no:cacheprovider --capture=sys' \
        "$inner_repo" "$venvs/$name/bin/python"
}

refleak() {
    say "reference-leak check under python3.14-dbg"
    bounded "$refleak_limit" in_root bash -c 'cd "$0" && exec "$1" -X dev tools/refleak_check.py' \
        "$inner_repo" "$venvs/py314d/bin/python"
}

if build py314 python3.14 release; then
    step "suite on python3.14" pytest_under py314 python3.14
else
    failures+=("build for python3.14")
fi
if build py314d python3.14-dbg dbg; then
    step "suite on python3.14-dbg" pytest_under py314d python3.14-dbg
    step "reference-leak check" refleak
else
    failures+=("build for python3.14-dbg")
fi
if [ ${#failures[@]} -gt 0 ]; then
    say "FAILED: $(IFS=,; echo "${failures[*]}")"
    exit 1
fi
say "all passed"
