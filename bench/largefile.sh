#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# One large file (2 GiB) through the real program's window, durable, timed
# from keypad Enter to its exit, against `cat IN > OUT && sync OUT` (sync of
# a file is its fsync): warm (the input read into the page cache first) and
# cold (as root: the page cache dropped before each run), the two in a
# shuffled order in each round, outputs removed and synced away untimed.
# Prints each round, the medians and the median of the per-round ratios.
# Usage: largefile.sh PROGRAM SOURCE_DIR [DATA_DIR]   (default: bench-data
# beside PROGRAM; the input is kept there, on a disk, not tmpfs)
# Environment: TVX_BENCH_LARGEFILE_MIB (2048), TVX_BENCH_LARGEFILE_ROUNDS (5),
# TVX_BENCH_LARGEFILE_COLD (1; 0 leaves the cold set out),
# TVX_BENCH_LARGEFILE_LIMIT (600: seconds a run may take), TVX_BENCH_BEFORE
# (an earlier build of the program: one more contender in the same shuffled
# rounds, checked alike; compared with the program and with cat + sync).
set -euo pipefail
. "$(dirname "$(realpath "$0")")/common.bash"
bench_start largefile.sh "$@"

mib=${TVX_BENCH_LARGEFILE_MIB:-2048}
rounds=${TVX_BENCH_LARGEFILE_ROUNDS:-5}
cold=${TVX_BENCH_LARGEFILE_COLD:-1}
limit=${TVX_BENCH_LARGEFILE_LIMIT:-600}

folder="$data/largefile-${mib}MiB"
in=$folder/in
out=${in}tenvarixcrypto
copy=$folder/copy
scratch+=("$out" "$copy")
if ! [ -e "$folder/complete" ]; then
    echo "making $mib MiB in $in"
    rm -rf "$folder"
    mkdir -p "$folder"
    head -c $((mib * 1024 * 1024)) /dev/urandom >"$in"
    sync
    touch "$folder/complete"
fi
rm -f "$out" "$copy"
if [ "$cold" != 0 ] && [ "$(id -u)" != 0 ]; then
    echo "note: not root: the cold set is left out"
    cold=0
fi

# The first output of each program is checked byte for byte, the size of the rest.
declare -A checked
# check_output WHO
check_output() {
    [ "$(stat -c %s "$out")" = $((mib * 1024 * 1024)) ] || fail "the output of $1 is $(stat -c %s "$out") bytes"
    if [ -z "${checked[$1]:-}" ]; then
        /usr/bin/python3 - "$in" "$out" "$key" <<'PY' || fail "the output of $1 is not the input XOR the key"
import sys
key = sys.argv[3].encode()
piece = len(key) * 65536
pattern = key * 65536
with open(sys.argv[1], "rb") as a, open(sys.argv[2], "rb") as b:
    while True:
        x, y = a.read(piece), b.read(piece)
        if len(x) != len(y):
            sys.exit(1)
        if not x:
            break
        if int.from_bytes(x, "little") ^ int.from_bytes(pattern[:len(x)], "little") != int.from_bytes(y, "little"):
            sys.exit(1)
PY
        checked[$1]=1
    fi
}
program_run() {
    timed_program x11 "$source" "$program" "$in"
    check_output program
}
before_run() {
    timed_program x11 "$source" "$before_program" "$in"
    check_output before
}
cat_run() {
    local t0=$EPOCHREALTIME
    cat "$in" >"$copy" && sync "$copy"
    since "$t0"
    [ "$(stat -c %s "$copy")" = $((mib * 1024 * 1024)) ] || fail "the copy is short"
}
# Untimed before each run: no output, the disk idle, the input as the set wants it.
prepare() {
    rm -f "$out" "$copy"
    sync
    if [ "$1" = cold ]; then
        echo 3 >/proc/sys/vm/drop_caches
    else
        cat "$in" >/dev/null
    fi
}

kinds="program cat"
[ -z "$before_program" ] || kinds="$kinds before"
sets=warm
[ "$cold" = 0 ] || sets="warm cold"
echo "A large file: $mib MiB, durable, $rounds rounds per set (seconds)"
mb_s() { awk -v s="$(median_of "$1")" -v m="$mib" 'BEGIN { print m * 1.048576 / s }'; }
for set in $sets; do
    for round in $(seq 1 "$rounds"); do
        line="  $set round $round:"
        for kind in $(printf '%s\n' $kinds | shuf); do
            prepare "$set"
            "${kind}_run"
            record "$set-$kind"
            line="$line $kind $elapsed"
        done
        echo "$line"
    done
    printf '  %s: program %.3f s (%.0f MB/s), cat + sync %.3f s; program: %.2f x cat + sync (1.0 or more: at least as fast)\n' \
        "$set" "$(median_of "$set-program")" "$(mb_s "$set-program")" "$(median_of "$set-cat")" \
        "$(ratio "$set-cat" "$set-program")"
    if [ -n "$before_program" ]; then
        printf '  %s: before %.3f s (%.0f MB/s); before: %.2f x cat + sync\n' \
            "$set" "$(median_of "$set-before")" "$(mb_s "$set-before")" "$(ratio "$set-cat" "$set-before")"
        before_line "$set-program" "$set-before" "$set"
    fi
done
rm -f "$out" "$copy"
