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
# TVX_BENCH_RERUN_LIMIT (600: seconds a run may take), TVX_BENCH_BEFORE (an
# earlier build of the program: one more contender in the same rounds, in a
# shuffled order, checked alike; compared with the program and its first run).
set -euo pipefail
. "$(dirname "$(realpath "$0")")/common.bash"
bench_start rerun.sh "$@"
helper=$(dirname "$program")/bench/tenvarix-smallfiles-loop

count=${TVX_BENCH_RERUN_FILES:-10000}
rounds=${TVX_BENCH_RERUN_ROUNDS:-1}
limit=${TVX_BENCH_RERUN_LIMIT:-600}
[ -x "$helper" ] || fail "no $helper (cmake --build ... --target tenvarix-smallfiles-loop)"
[ "$count" -gt 0 ] || fail "TVX_BENCH_RERUN_FILES must be at least 1"

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

if use_fresh_fs rerun; then
    root=$mnt
else
    echo "note: not root: no fresh file system per round"
    root=$(mktemp -d "$data/rerun-work.XXXXXX")
    scratch+=("$root")
fi
# Untimed before each round: the inputs alone, on an idle disk.
prepare() {
    if [ -n "$mnt" ]; then
        fresh_fs "$tree/in"
    else
        rm -rf "$root/in"
        cp -r "$tree/in" "$root/in"
        sync
    fi
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

# crypt_twice WHO PROGRAM: in a folder of the inputs alone, the first run and
# the run again, each checked; their times recorded as WHO-first, WHO-again.
crypt_twice() {
    prepare
    timed_program x11 "$source" "$2" "$root/in"
    record "$1-first"
    after "$1's first"
    sync
    timed_program x11 "$source" "$2" "$root/in"
    record "$1-again"
    after "$1's second"
    finish_round
}

contenders=program
[ -z "$before_program" ] || contenders="program before"
echo "A folder of $count files of 4 KiB crypted, then crypted again ($((2 * count)) paths), $rounds rounds${mnt:+, each in a fresh ext4} (seconds)"
for round in $(seq 1 "$rounds"); do
    line="round $round:"
    for who in $(printf '%s\n' $contenders | shuf); do
        if [ "$who" = before ]; then crypt_twice before "$before_program"; else crypt_twice program "$program"; fi
        first=$(times_of "$who-first" | tail -n 1) again=$(times_of "$who-again" | tail -n 1)
        line="$line $who first $first, again $again, again / first $(awk -v a="$first" -v b="$again" 'BEGIN { printf "%.2f", b / a }');"
    done
    echo "${line%;}"
done
# WHO: its medians and the median of its rounds' ratios again / first.
summary() {
    printf '  %s, %-37s %.3f s\n' "$1" "first run ($count files):" "$(median_of "$1-first")"
    printf '  %s, %-37s %.3f s\n' "$1" "the same folder again ($((2 * count)) paths):" "$(median_of "$1-again")"
    printf '  %s, again / first: %.2f x the time (median of the rounds'"'"' ratios)\n' "$1" "$(ratio "$1-again" "$1-first")"
}
summary program
if [ -n "$before_program" ]; then
    summary before
    before_line program-first before-first 'first run'
    before_line program-again before-again 'again'
fi
