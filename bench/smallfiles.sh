#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# 5,000 files of 4 KiB in 50 folders, passed as FILE arguments to the real
# program and timed from keypad Enter to its exit (status 0, every output
# checked), on X11 under a private Xvfb and on weston nested in it; against
# `cp -r` of the folder + `sync`, a loop that writes and fsyncs each file, and
# the reference of the same durable promise (tenvarix-promise-reference).
# Each round runs the five in a shuffled order, as root each in a fresh ext4
# with a copy of the inputs, else in the kept data folder, outputs removed and
# synced away untimed in between. Prints medians, means per file and ratios.
# Usage: smallfiles.sh PROGRAM SOURCE_DIR [DATA_DIR]   (default: bench-data
# beside PROGRAM; the inputs are kept there, on a disk, not tmpfs)
# Environment: TVX_BENCH_SMALL_COUNT (5000), TVX_BENCH_SMALL_FOLDERS (50),
# TVX_BENCH_SMALL_KIB (4), TVX_BENCH_SMALL_ROUNDS (3), TVX_BENCH_SMALL_WAYLAND
# (1; 0 leaves weston out), TVX_BENCH_SMALL_LIMIT (600: seconds a run may take).
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: smallfiles.sh PROGRAM SOURCE_DIR [DATA_DIR]" >&2; exit 2; }
program=$(realpath "$1")
source=$(realpath "$2")
data=$(realpath -m "${3:-$(dirname "$program")/bench-data}")
helper=$(dirname "$program")/bench/tenvarix-smallfiles-loop
reference=$(dirname "$program")/bench/tenvarix-promise-reference
if [ -z "${TVX_SMALL_UNDER_XVFB:-}" ]; then
    TVX_SMALL_UNDER_XVFB=1 exec "$source/tests/xvfb-run.sh" \
        bash "$(realpath "$0")" "$program" "$source" "$data"
fi
. "$source/tests/e2e/common.bash"
. "$source/bench/window_run.bash"
mnt= img= loop=
trap 'stop_watchdog; stop_app; drop_fs || echo "left mounted: $mnt" >&2; [ -z "$mnt" ] || rmdir "$mnt"; stop_weston; rm -rf "$E2E_TMP"' EXIT
trap 'exit 130' INT TERM HUP

count=${TVX_BENCH_SMALL_COUNT:-5000}
folders=${TVX_BENCH_SMALL_FOLDERS:-50}
kib=${TVX_BENCH_SMALL_KIB:-4}
rounds=${TVX_BENCH_SMALL_ROUNDS:-3}
wayland=${TVX_BENCH_SMALL_WAYLAND:-1}
limit=${TVX_BENCH_SMALL_LIMIT:-600}
key='abcdefghijkA1!'
[ -x "$helper" ] || fail "no $helper (cmake --build ... --target tenvarix-smallfiles-loop)"
[ -x "$reference" ] || fail "no $reference (cmake --build ... --target tenvarix-promise-reference)"
[ "$folders" -le "$count" ] || folders=$count
per=$((count / folders))
[ "$per" -gt 0 ] || fail "TVX_BENCH_SMALL_COUNT must be at least 1"

mkdir -p "$data"
[ "$(stat -f -c %T "$data")" != tmpfs ] || fail "$data is on tmpfs; give a folder on a disk"
tree="$data/smallfiles-$((per * folders))x${kib}KiB-in-$folders"
if ! [ -e "$tree/complete" ]; then
    echo "making $((per * folders)) files of $kib KiB in $folders folders under $tree"
    rm -rf "$tree"
    for d in $(seq -w 1 "$folders"); do
        mkdir -p "$tree/in/d$d"
        head -c $((per * kib * 1024)) /dev/urandom | (cd "$tree/in/d$d" && split -b "${kib}K" -d -a 5 - f)
    done
    sync
    touch "$tree/complete"
fi

# Untimed between runs: every output away, and the disk idle again.
clean() {
    find "$tree/in" -type f \( -name '*tenvarixcrypto' -o -name '*.fsynced' -o -name '*.promised' -o -name '.tvx*' \) -delete
    rm -rf "$tree/copy"
    sync
}
clean

# ext4 passes over inodes freed in the last minutes when it makes new ones,
# slowing only runs that write beside outputs just removed: as root every run
# works in a fresh file system instead, made and dropped untimed.
fresh_fs() {
    truncate -s 1G "$img"
    loop=$(losetup --find --show "$img")
    mkfs.ext4 -q "$loop"
    mount -o noinit_itable "$loop" "$mnt"
    cp -r "$tree/in" "$mnt/in"
    sync
}
drop_fs() {
    if [ -n "$mnt" ] && mountpoint -q "$mnt"; then umount "$mnt" || return 1; fi
    if [ -n "$loop" ]; then losetup -d "$loop" || return 1; loop=; fi
    rm -f ${img:+"$img"}
}
if [ "$(id -u)" = 0 ]; then
    mnt=$(mktemp -d "$data/smallfiles-mnt.XXXXXX")
    img=$mnt.img
else
    echo "note: not root: no fresh file system per run; ext4 slows new files beside outputs just removed"
fi
root=${mnt:-$tree}
(cd "$tree" && find in -type f | sort) | while IFS= read -r f; do printf '%s/%s\n' "$root" "$f"; done >"$E2E_TMP/list"
mapfile -t files <"$E2E_TMP/list"
[ "${#files[@]}" = $((per * folders)) ] || fail "$tree/in holds ${#files[@]} files, not $((per * folders))"

# The program's window on weston's output: the first long run of its grey.
cat >"$E2E_TMP/find.py" <<'PY'
import subprocess, sys
ppm = subprocess.run(["/usr/bin/convert", sys.argv[1], "-depth", "8", "ppm:-"],
                     check=True, capture_output=True).stdout
_, width, _, _, body = ppm.split(maxsplit=4)
at = body.find(b"\xd2" * 3 * 400)
if at < 0:
    sys.exit(1)
y, x = divmod((at + 2) // 3, int(width))
print(x, y)
PY
# run_program x11|wayland: the timed run over every file, its outputs checked.
run_program() {
    timed_program "$1" "$source" "$program" "${files[@]}"
    "$helper" check "$key" tenvarixcrypto <"$E2E_TMP/list" || fail "wrong output on $1"
}

copy_and_sync() { cp -r "$root/in" "$root/copy" && sync; }
fsync_loop() { "$helper" write "$key" .fsynced <"$E2E_TMP/list"; }
# The promise's own cost: unnamed files, one flush, the links, one flush.
promise() { "$reference" "$key" .promised <"$E2E_TMP/list"; }

kinds="x11 cp loop reference"
[ "$wayland" = 0 ] || { start_weston; kinds="$kinds wayland"; }
declare -A took
echo "Small files: $((per * folders)) of $kib KiB in $folders folders, $rounds rounds${mnt:+, each in a fresh ext4} (seconds)"
for round in $(seq 1 "$rounds"); do
    line="round $round:"
    for kind in $(printf '%s\n' $kinds | shuf); do
        [ -z "$mnt" ] || fresh_fs
        case $kind in
            x11 | wayland) run_program "$kind" ;;
            cp) timed copy_and_sync ;;
            loop) timed fsync_loop ;;
            reference) timed promise ;;
        esac
        took[$kind]="${took[$kind]:-} $elapsed"
        line="$line $kind $elapsed"
        if [ -n "$mnt" ]; then drop_fs || fail "cannot unmount $mnt"; else clean; fi
    done
    echo "$line"
done

times_of() { tr ' ' '\n' <<<"${took[$1]}" | grep .; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# Per-round ratios A/B of the times of two kinds, their median.
ratio() { paste <(times_of "$1") <(times_of "$2") | awk '{ printf "%.3f\n", $1 / $2 }' | median; }
# LABEL KIND: the kind's median time and its mean time per file.
report() {
    printf '  %-40s %.3f s, mean %.6f s per file\n' "$1:" "$(times_of "$2" | median)" \
        "$(times_of "$2" | awk -v n=$((per * folders)) '{ s += $1 } END { print s / NR / n }')"
}
report 'program on X11 (keypad Enter to exit)' x11
[ "$wayland" = 0 ] || report 'program on weston' wayland
report 'cp -r + sync' cp
report 'write + fsync per file' loop
report 'reference of the promise' reference
printf '  program: %.2f x cp -r + sync, %.2f x the fsync loop (1.0 or more: at least as fast)\n' \
    "$(ratio cp x11)" "$(ratio loop x11)"
printf '  program: %.2f x the reference of the same promise (its time / the program'"'"'s)\n' \
    "$(ratio reference x11)"
[ "$wayland" = 0 ] || printf '  weston / X11: %.2f x the time\n' "$(ratio wayland x11)"
