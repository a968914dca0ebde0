#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# How alive the window stays while its input is read at a USB stick's speed:
# an ext4 file system on a loop device, reads throttled to 20 MiB/s by a
# cgroup v1 blkio group, a 300 MiB input not in the page cache, and the real
# program under a private Xvfb driven by responsiveness.py. Needs root.
# Usage: responsiveness.sh PROGRAM SOURCE_DIR
# Environment: TVX_RESP_MIB (300) and TVX_RESP_BPS (20971520) set the input's
# size and read rate, TVX_RESP_WRITE_BPS a write rate too (the output's flush
# then takes its time), TVX_CANCEL_AFTER the earliest Cancel in seconds;
# TVX_DEBUG=1 prints the gaps and the partial file at Cancel, TVX_SNAPSHOT=PNG
# saves the screen then.
set -euo pipefail
program=$(realpath "$1")
source=$(realpath "$2")
here=$(dirname "$(realpath "$0")")
size_mib=${TVX_RESP_MIB:-300}
bps=${TVX_RESP_BPS:-20971520}

if [ "$(id -u)" != 0 ]; then
    echo "responsiveness: needs root (loop device, mount, blkio cgroup)" >&2
    exit 1
fi

tmp=$(mktemp -d)
loop=
mounted=
group=
blkio=/sys/fs/cgroup/blkio
cleanup() {
    set +e
    if [ -n "$group" ] && [ -d "$group" ]; then
        while read -r pid; do echo "$pid" >"$blkio/cgroup.procs"; done <"$group/cgroup.procs"
        rmdir "$group"
    fi
    [ -n "$mounted" ] && umount "$tmp/mnt"
    [ -n "$loop" ] && losetup -d "$loop"
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# Room for the input and its partner.
truncate -s $((2 * size_mib + 100))M "$tmp/disk.img"
loop=$(losetup --find --show "$tmp/disk.img")
mkfs.ext4 -q "$loop"
mkdir "$tmp/mnt"
mount "$loop" "$tmp/mnt"
mounted=1
head -c $((size_mib * 1024 * 1024)) /dev/urandom >"$tmp/mnt/input.bin"
# Mounting again leaves nothing of the input in the page cache.
umount "$tmp/mnt"
mounted=
mount "$loop" "$tmp/mnt"
mounted=1
echo "input cached before the run: $(fincore --noheadings --output PAGES "$tmp/mnt/input.bin") pages"

group="$blkio/tenvarix-bench-$$"
mkdir "$group"
echo "$(lsblk -dno MAJ:MIN "$loop" | tr -d ' ') $bps" >"$group/blkio.throttle.read_bps_device"
echo "input: $size_mib MiB, read at $((bps / 1048576)) MiB/s"
if [ -n "${TVX_RESP_WRITE_BPS:-}" ]; then
    echo "$(lsblk -dno MAJ:MIN "$loop" | tr -d ' ') $TVX_RESP_WRITE_BPS" >"$group/blkio.throttle.write_bps_device"
    echo "output: written at $((TVX_RESP_WRITE_BPS / 1048576)) MiB/s"
fi
export TVX_CANCEL_AFTER=${TVX_CANCEL_AFTER:-$(awk -v m="$size_mib" -v b="$bps" 'BEGIN { print 0.45 * m * 1048576 / b }')}
(
    echo "$BASHPID" >"$group/cgroup.procs"
    exec "$source/tests/xvfb-run.sh" /usr/bin/python3 "$here/responsiveness.py" \
        "$program" "$source" "$tmp/mnt/input.bin"
)
