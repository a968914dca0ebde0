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
# (1; 0 leaves weston out), TVX_BENCH_SMALL_LIMIT (600: seconds a run may take),
# TVX_BENCH_BEFORE (an earlier build of the program: one more contender, on
# X11 only, its outputs checked alike; compared with the program and the rest).
set -euo pipefail
. "$(dirname "$(realpath "$0")")/common.bash"
bench_start smallfiles.sh "$@"
helper=$(dirname "$program")/bench/tenvarix-smallfiles-loop
reference=$(dirname "$program")/bench/tenvarix-promise-reference

count=${TVX_BENCH_SMALL_COUNT:-5000}
folders=${TVX_BENCH_SMALL_FOLDERS:-50}
kib=${TVX_BENCH_SMALL_KIB:-4}
rounds=${TVX_BENCH_SMALL_ROUNDS:-3}
wayland=${TVX_BENCH_SMALL_WAYLAND:-1}
limit=${TVX_BENCH_SMALL_LIMIT:-600}
[ -x "$helper" ] || fail "no $helper (cmake --build ... --target tenvarix-smallfiles-loop)"
[ -x "$reference" ] || fail "no $reference (cmake --build ... --target tenvarix-promise-reference)"
[ "$folders" -le "$count" ] || folders=$count
per=$((count / folders))
[ "$per" -gt 0 ] || fail "TVX_BENCH_SMALL_COUNT must be at least 1"

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

use_fresh_fs smallfiles ||
    echo "note: not root: no fresh file system per run; ext4 slows new files beside outputs just removed"
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
# run_program LABEL x11|wayland PROGRAM: the timed run over every file, its outputs checked.
run_program() {
    timed_program "$2" "$source" "$3" "${files[@]}"
    "$helper" check "$key" tenvarixcrypto <"$E2E_TMP/list" || fail "wrong output of the $1 run"
}

copy_and_sync() { cp -r "$root/in" "$root/copy" && sync; }
fsync_loop() { "$helper" write "$key" .fsynced <"$E2E_TMP/list"; }
# The promise's own cost: unnamed files, one flush, the links, one flush.
promise() { "$reference" "$key" .promised <"$E2E_TMP/list"; }

kinds="x11 cp loop reference"
[ -z "$before_program" ] || kinds="$kinds before"
[ "$wayland" = 0 ] || { start_weston; kinds="$kinds wayland"; }
echo "Small files: $((per * folders)) of $kib KiB in $folders folders, $rounds rounds${mnt:+, each in a fresh ext4} (seconds)"
for round in $(seq 1 "$rounds"); do
    line="round $round:"
    for kind in $(printf '%s\n' $kinds | shuf); do
        if [ -n "$mnt" ]; then fresh_fs "$tree/in"; fi
        case $kind in
            x11 | wayland) run_program "$kind" "$kind" "$program" ;;
            before) run_program before x11 "$before_program" ;;
            cp) timed copy_and_sync ;;
            loop) timed fsync_loop ;;
            reference) timed promise ;;
        esac
        record "$kind"
        line="$line $kind $elapsed"
        if [ -n "$mnt" ]; then drop_fs || fail "cannot unmount $mnt"; else clean; fi
    done
    echo "$line"
done

# LABEL KIND: the kind's median time and its mean time per file.
report() {
    printf '  %-40s %.3f s, mean %.6f s per file\n' "$1:" "$(median_of "$2")" \
        "$(times_of "$2" | awk -v n=$((per * folders)) '{ s += $1 } END { print s / NR / n }')"
}
# WHO KIND: its ratios to the plain copies and to the reference.
against_baselines() {
    printf '  %s: %.2f x cp -r + sync, %.2f x the fsync loop (1.0 or more: at least as fast)\n' \
        "$1" "$(ratio cp "$2")" "$(ratio loop "$2")"
    printf '  %s: %.2f x the reference of the same promise (its time / the %s'"'"'s)\n' \
        "$1" "$(ratio reference "$2")" "$1"
}
report 'program on X11 (keypad Enter to exit)' x11
[ -z "$before_program" ] || report 'before (earlier build) on X11' before
[ "$wayland" = 0 ] || report 'program on weston' wayland
report 'cp -r + sync' cp
report 'write + fsync per file' loop
report 'reference of the promise' reference
against_baselines program x11
if [ -n "$before_program" ]; then
    against_baselines before before
    before_line x11 before 'both on X11'
fi
[ "$wayland" = 0 ] || printf '  weston / X11: %.2f x the time\n' "$(ratio wayland x11)"
