#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# A new user's bare Debian 12 (minbase, as a container or cloud image gives
# it): the source tree without .git and build/ is copied into a fresh root,
# and the README's two commands run there. As another user ./run prints the
# apt-get line and fails; as root ./run installs no test tool and opens the
# window (on this test's X server), and ./run-tests passes. Prints the time
# and the download of each. Skips (77) without mmdebstrap or debootstrap, or
# without the Debian archive. Run under tests/xvfb-run.sh.
set -euo pipefail
source_dir=$1
mirror=${TENVARIX_DEBIAN_MIRROR:-http://deb.debian.org/debian}
security=${TENVARIX_DEBIAN_SECURITY:-http://deb.debian.org/debian-security}
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

if [ -z "${TENVARIX_MINBASE_ROOT:-}" ]; then
    command -v mmdebstrap >/dev/null || command -v debootstrap >/dev/null ||
        skip "neither mmdebstrap nor debootstrap is installed"
    host=${mirror#*://}
    host=${host%%/*}
    timeout 20 bash -c "exec 3<>/dev/tcp/$host/80" 2>/dev/null ||
        skip "the Debian archive at $mirror cannot be reached"
    [ "$(id -u)" = 0 ] || skip "building a root needs root"
    root=$(mktemp -d "${TMPDIR:-/tmp}/minbase.XXXXXX")
    status=0
    # The mounts below live in a namespace of their own and vanish with it,
    # so nothing is mounted under the root when it is removed.
    TENVARIX_MINBASE_ROOT=$root unshare -m --propagation private bash "$0" "$@" || status=$?
    rm -rf --one-file-system "$root"
    exit $status
fi

root=$TENVARIX_MINBASE_ROOT
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
started=$(date +%s)
if command -v mmdebstrap >/dev/null; then
    mmdebstrap --variant=minbase bookworm "$root" \
        "deb $mirror bookworm main" "deb $mirror bookworm-updates main" \
        "deb $security bookworm-security main" >"$logs/bootstrap.log" 2>&1 ||
        { tail -n 30 "$logs/bootstrap.log"; fail "mmdebstrap failed"; }
else
    debootstrap --variant=minbase bookworm "$root" "$mirror" >"$logs/bootstrap.log" 2>&1 ||
        { tail -n 30 "$logs/bootstrap.log"; fail "debootstrap failed"; }
fi
# A system's / is 0755: mktemp made the root 0700, which debootstrap keeps,
# and a user could not enter it.
chmod 0755 "$root"
echo "minbase root built in $(($(date +%s) - started)) s, $(du -sh --one-file-system "$root" | cut -f1)"

mkdir "$root/src"
tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$root/src" -xf -
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount --rbind /dev "$root/dev"
mount -t tmpfs tmpfs "$root/tmp"

# in_root USER COMMAND: runs COMMAND in /src of the root with a clean
# environment; the X server is reached through its abstract socket.
in_root() {
    env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root DISPLAY="$DISPLAY" \
        chroot --userspec="$1" "$root" /bin/sh -c "cd /src && $2"
}
installed() { in_root 0:0 "dpkg-query -W -f='\${Status}' $1 2>/dev/null | grep -q 'ok installed'"; }
# The lines in which apt-get tells what it downloads.
downloads() { grep -h '^Need to get\|^After this operation' "$@" || echo "(nothing downloaded)"; }

for tool in make git g++; do
    ! installed "$tool" || fail "the bare root already has $tool"
done

status=0
in_root 65534:65534 ./run >"$logs/user.out" 2>"$logs/user.err" || status=$?
[ "$status" != 0 ] || fail "./run as a user without the packages succeeded"
[ "$(grep -c '^sudo apt-get install' "$logs/user.out")" = 1 ] ||
    fail "./run as a user did not print one sudo apt-get line: $(cat "$logs/user.out" "$logs/user.err")"
echo "as a user: $(cat "$logs/user.out")"

started=$(date +%s)
in_root 0:0 ./run >"$logs/run.log" 2>&1 &
run_pid=$!
trap 'kill $run_pid 2>/dev/null || true; rm -rf "$logs"' EXIT
wid=
while kill -0 $run_pid 2>/dev/null; do
    wid=$(xdotool search --onlyvisible --name '^Tenvarix Crypto$' 2>/dev/null | head -n 1 || true)
    [ -n "$wid" ] && break
    sleep 0.5
done
[ -n "$wid" ] || { tail -n 40 "$logs/run.log"; fail "./run showed no window"; }
run_seconds=$(($(date +%s) - started))
xdotool mousemove --window "$wid" 120 509 click 1
status=0
wait $run_pid || status=$?
[ "$status" = 0 ] || { tail -n 40 "$logs/run.log"; fail "./run ended with $status after Cancel"; }
for tool in xvfb libgtest-dev xdotool; do
    ! installed "$tool" || fail "./run installed the test tool $tool"
done
echo "./run: window shown after $run_seconds s"
downloads "$logs/run.log"

started=$(date +%s)
status=0
# The static checks and the ThreadSanitizer run look at the same sources as
# outside this root; they are left out here, where they would only double the
# time.
in_root 0:0 "TEST_EXCLUDE='^(tidy|tsan)' ./run-tests" >"$logs/tests.log" 2>&1 || status=$?
[ "$status" = 0 ] || { tail -n 60 "$logs/tests.log"; fail "./run-tests ended with $status"; }
echo "./run-tests: passed after $(($(date +%s) - started)) s"
downloads "$logs/tests.log"
grep -h 'tests passed\|Total Test time' "$logs/tests.log"
echo "root at the end: $(du -sh --one-file-system "$root" | cut -f1)"
