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
# TVX_BENCH_LARGEFILE_LIMIT (600: seconds a run may take).
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: largefile.sh PROGRAM SOURCE_DIR [DATA_DIR]" >&2; exit 2; }
program=$(realpath "$1")
source=$(realpath "$2")
data=$(realpath -m "${3:-$(dirname "$program")/bench-data}")
if [ -z "${TVX_LARGE_UNDER_XVFB:-}" ]; then
    TVX_LARGE_UNDER_XVFB=1 exec "$source/tests/xvfb-run.sh" \
        bash "$(realpath "$0")" "$program" "$source" "$data"
fi
. "$source/tests/e2e/common.bash"
. "$source/bench/window_run.bash"
trap 'stop_watchdog; stop_app; rm -f "${out:-}" "${copy:-}"; rm -rf "$E2E_TMP"' EXIT
trap 'exit 130' INT TERM HUP

mib=${TVX_BENCH_LARGEFILE_MIB:-2048}
rounds=${TVX_BENCH_LARGEFILE_ROUNDS:-5}
cold=${TVX_BENCH_LARGEFILE_COLD:-1}
limit=${TVX_BENCH_LARGEFILE_LIMIT:-600}
key='abcdefghijkA1!'

mkdir -p "$data"
[ "$(stat -f -c %T "$data")" != tmpfs ] || fail "$data is on tmpfs; give a folder on a disk"
folder="$data/largefile-${mib}MiB"
in=$folder/in
out=${in}tenvarixcrypto
copy=$folder/copy
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

# The first output is checked byte for byte (its first and last MiB after).
checked=
check_output() {
    [ "$(stat -c %s "$out")" = $((mib * 1024 * 1024)) ] || fail "the output is $(stat -c %s "$out") bytes"
    if [ -z "$checked" ]; then
        /usr/bin/python3 - "$in" "$out" "$key" <<'PY' || fail "the output is not the input XOR the key"
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
        checked=1
    fi
}
program_run() {
    timed_program x11 "$source" "$program" "$in"
    check_output
}
cat_run() {
    local t0=$EPOCHREALTIME
    cat "$in" >"$copy" && sync "$copy"
    since "$t0"
    [ "$(stat -c %s "$copy")" = $((mib * 1024 * 1024)) ] || fail "the copy is short"
}
# Untimed before each run: no output, the disk idle, the input as the set wants it.
before() {
    rm -f "$out" "$copy"
    sync
    if [ "$1" = cold ]; then
        echo 3 >/proc/sys/vm/drop_caches
    else
        cat "$in" >/dev/null
    fi
}

median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
sets=warm
[ "$cold" = 0 ] || sets="warm cold"
echo "A large file: $mib MiB, durable, $rounds rounds per set (seconds)"
for set in $sets; do
    programs= cats= ratios=
    for round in $(seq 1 "$rounds"); do
        line="  $set round $round:"
        for kind in $(printf 'program\ncat\n' | shuf); do
            before "$set"
            "${kind}_run"
            eval "t_$kind=\$elapsed"
            line="$line $kind $elapsed"
        done
        echo "$line"
        programs="$programs $t_program" cats="$cats $t_cat"
        ratios="$ratios $(awk -v p="$t_program" -v c="$t_cat" 'BEGIN { printf "%.3f", c / p }')"
    done
    printf '  %s: program %.3f s (%.0f MB/s), cat + sync %.3f s; program: %.2f x cat + sync (1.0 or more: at least as fast)\n' \
        "$set" "$(median <<<"$programs")" \
        "$(awk -v s="$(median <<<"$programs")" -v m="$mib" 'BEGIN { print m * 1.048576 / s }')" \
        "$(median <<<"$cats")" "$(median <<<"$ratios")"
done
rm -f "$out" "$copy"
