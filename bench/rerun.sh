#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# A folder crypted once, then again: N files of 4 KiB in one folder given to
# the real program as its argument (the folder listed in the window), timed
# from keypad Enter to its exit; then the same folder again, now each file
# beside its partner (2 N paths, each original listed just before its
# partner: both outputs replace files that exist), timed the same way. As
# root each round works in a fresh ext4 with a copy of the inputs, else in a
# copy in the data folder. Prints both times, the ratio second / first, and
# checks the results: every partner the XOR of its file, every file as before.
# Usage: rerun.sh PROGRAM SOURCE_DIR [DATA_DIR]   (default: bench-data beside
# PROGRAM; on a disk, not tmpfs)
# Environment: TVX_BENCH_RERUN_FILES (10000), TVX_BENCH_RERUN_ROUNDS (1),
# TVX_BENCH_RERUN_LIMIT (600: seconds a run may take).
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: rerun.sh PROGRAM SOURCE_DIR [DATA_DIR]" >&2; exit 2; }
program=$(realpath "$1")
source=$(realpath "$2")
data=$(realpath -m "${3:-$(dirname "$program")/bench-data}")
helper=$(dirname "$program")/bench/tenvarix-smallfiles-loop
if [ -z "${TVX_RERUN_UNDER_XVFB:-}" ]; then
    TVX_RERUN_UNDER_XVFB=1 exec "$source/tests/xvfb-run.sh" \
        bash "$(realpath "$0")" "$program" "$source" "$data"
fi
. "$source/tests/e2e/common.bash"
. "$source/bench/window_run.bash"
mnt= img= loop= work=
drop_fs() {
    if [ -n "$mnt" ] && mountpoint -q "$mnt"; then umount "$mnt" || return 1; fi
    if [ -n "$loop" ]; then losetup -d "$loop" || return 1; loop=; fi
    rm -f ${img:+"$img"}
}
trap 'stop_watchdog; stop_app; drop_fs || echo "left mounted: $mnt" >&2; [ -z "$mnt" ] || rmdir "$mnt"; [ -z "$work" ] || rm -rf "$work"; rm -rf "$E2E_TMP"' EXIT
trap 'exit 130' INT TERM HUP

count=${TVX_BENCH_RERUN_FILES:-10000}
rounds=${TVX_BENCH_RERUN_ROUNDS:-1}
limit=${TVX_BENCH_RERUN_LIMIT:-600}
key='abcdefghijkA1!'
[ -x "$helper" ] || fail "no $helper (cmake --build ... --target tenvarix-smallfiles-loop)"
[ "$count" -gt 0 ] || fail "TVX_BENCH_RERUN_FILES must be at least 1"

mkdir -p "$data"
[ "$(stat -f -c %T "$data")" != tmpfs ] || fail "$data is on tmpfs; give a folder on a disk"
tree="$data/rerun-${count}x4KiB"
if ! [ -e "$tree/complete" ]; then
    echo "making $count files of 4 KiB in $tree/in"
    rm -rf "$tree"
    mkdir -p "$tree/in"
    head -c $((count * 4096)) /dev/urandom | (cd "$tree/in" && split -b 4K -d -a 6 - f)
    sync
    touch "$tree/complete"
fi
# The originals' bytes, in list order, to compare with after each run.
originals() { find "$1" -type f ! -name '*tenvarixcrypto' | sort | xargs -d '\n' cat | md5sum; }
want=$(originals "$tree/in")

if [ "$(id -u)" = 0 ]; then
    mnt=$(mktemp -d "$data/rerun-mnt.XXXXXX")
    img=$mnt.img
    root=$mnt
else
    echo "note: not root: no fresh file system per round"
    work=$(mktemp -d "$data/rerun-work.XXXXXX")
    root=$work
fi
# Untimed before each round: the inputs alone, on an idle disk.
prepare() {
    if [ -n "$mnt" ]; then
        truncate -s 1G "$img"
        loop=$(losetup --find --show "$img")
        mkfs.ext4 -q "$loop"
        mount -o noinit_itable "$loop" "$mnt"
    else
        rm -rf "$root/in"
    fi
    cp -r "$tree/in" "$root/in"
    sync
}
finish_round() {
    if [ -n "$mnt" ]; then drop_fs || fail "cannot unmount $mnt"; else rm -rf "$root/in"; sync; fi
}
find "$tree/in" -type f | sort | sed "s|^$tree/|$root/|" >"$E2E_TMP/list"

# after RUN: every partner holds its file XOR the key, every file is as it was.
after() {
    local paths
    paths=$(find "$root/in" -type f | wc -l)
    [ "$paths" = $((2 * count)) ] || fail "after the $1 run the folder holds $paths files, not $((2 * count))"
    "$helper" check "$key" tenvarixcrypto <"$E2E_TMP/list" || fail "wrong partner after the $1 run"
    [ "$(originals "$root/in")" = "$want" ] || fail "a file changed in the $1 run"
}

firsts= seconds= ratios=
echo "A folder of $count files of 4 KiB crypted, then crypted again ($((2 * count)) paths), $rounds rounds${mnt:+, each in a fresh ext4} (seconds)"
for round in $(seq 1 "$rounds"); do
    prepare
    timed_program x11 "$source" "$program" "$root/in"
    first=$elapsed
    after first
    sync
    timed_program x11 "$source" "$program" "$root/in"
    second=$elapsed
    after second
    finish_round
    ratio=$(awk -v a="$first" -v b="$second" 'BEGIN { printf "%.2f", b / a }')
    echo "round $round: first $first, again $second, again / first $ratio"
    firsts="$firsts $first" seconds="$seconds $second" ratios="$ratios $ratio"
done
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
printf '  first run (%d files):              %.3f s\n' "$count" "$(median <<<"$firsts")"
printf '  the same folder again (%d paths): %.3f s\n' $((2 * count)) "$(median <<<"$seconds")"
printf '  again / first: %.2f x the time (median of the rounds'"'"' ratios)\n' "$(median <<<"$ratios")"
