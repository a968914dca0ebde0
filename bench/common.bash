# SPDX-License-Identifier: GPL-3.0-or-later
# Shared by smallfiles.sh, rerun.sh and largefile.sh: their arguments and
# data folder, the earlier build they may time beside the program, a fresh
# ext4 per run as root, the clean-up on every way out, and the medians and
# ratios they print. Sourced, not run.

# bench_start SCRIPT PROGRAM SOURCE_DIR [DATA_DIR]: runs the calling script
# again under a private Xvfb, then sources the end-to-end and window helpers
# and sets program, source, data (default: bench-data beside PROGRAM, made
# here, refused on tmpfs), key, and before_program (TVX_BENCH_BEFORE, an
# earlier build run as one more contender; empty: none).
bench_start() {
    local script=$1
    shift
    [ $# -ge 2 ] || { echo "usage: $script PROGRAM SOURCE_DIR [DATA_DIR]" >&2; exit 2; }
    program=$(realpath "$1")
    source=$(realpath "$2")
    data=$(realpath -m "${3:-$(dirname "$program")/bench-data}")
    if [ -z "${TVX_BENCH_UNDER_XVFB:-}" ]; then
        TVX_BENCH_UNDER_XVFB=1 exec "$source/tests/xvfb-run.sh" \
            bash "$(realpath "$0")" "$program" "$source" "$data"
    fi
    . "$source/tests/e2e/common.bash"
    . "$(dirname "${BASH_SOURCE[0]}")/window_run.bash"
    trap bench_cleanup EXIT
    trap 'exit 130' INT TERM HUP
    key='abcdefghijkA1!'
    before_program=
    if [ -n "${TVX_BENCH_BEFORE:-}" ]; then
        before_program=$(realpath "$TVX_BENCH_BEFORE")
        if ! [ -f "$before_program" ] || ! [ -x "$before_program" ]; then
            fail "TVX_BENCH_BEFORE: $TVX_BENCH_BEFORE is not a program"
        fi
    fi
    mkdir -p "$data"
    [ "$(stat -f -c %T "$data")" != tmpfs ] || fail "$data is on tmpfs; give a folder on a disk"
}

# Paths removed on every way out (outputs, a working copy).
scratch=()
mnt='' img='' loop=''

# ext4 passes over inodes freed in the last minutes when it makes new ones,
# slowing only runs that write beside outputs just removed: as root each run
# works in a fresh file system instead, made and dropped untimed.
# use_fresh_fs NAME: as root sets mnt (a mount point in the data folder) and
# img, and returns 0; else returns 1.
use_fresh_fs() {
    [ "$(id -u)" = 0 ] || return 1
    mnt=$(mktemp -d "$data/$1-mnt.XXXXXX")
    img=$mnt.img
}
# fresh_fs FOLDER: a new ext4 on $mnt holding a copy of FOLDER as $mnt/in.
fresh_fs() {
    truncate -s 1G "$img"
    loop=$(losetup --find --show "$img")
    mkfs.ext4 -q "$loop"
    mount -o noinit_itable "$loop" "$mnt"
    cp -r "$1" "$mnt/in"
    sync
}
drop_fs() {
    if [ -n "$mnt" ] && mountpoint -q "$mnt"; then umount "$mnt" || return 1; fi
    if [ -n "$loop" ]; then losetup -d "$loop" || return 1; loop=; fi
    rm -f ${img:+"$img"}
}

# On every way out: the program and its watchdog ended, the file system
# dropped (lazily where something still holds it, the loop device then freed
# by the kernel once it is let go), scratch and the helpers' folder removed.
bench_cleanup() {
    stop_watchdog
    stop_app
    stop_weston
    if ! drop_fs 2>/dev/null; then
        umount -l "$mnt" 2>/dev/null || true
        drop_fs || echo "left mounted or attached: $mnt ${loop:-}" >&2
    fi
    if [ -n "$mnt" ]; then rmdir "$mnt" 2>/dev/null || true; fi
    if [ ${#scratch[@]} -gt 0 ]; then rm -rf "${scratch[@]}"; fi
    rm -rf "$E2E_TMP"
}

# The times of each contender, one a round: record KIND adds $elapsed.
declare -A took
record() { took[$1]="${took[$1]:-} $elapsed"; }
times_of() { tr ' ' '\n' <<<"${took[$1]:-}" | grep .; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
median_of() { times_of "$1" | median; }
# ratio A B: the median of the per-round ratios of A's time to B's.
ratio() { paste <(times_of "$1") <(times_of "$2") | awk '{ printf "%.3f\n", $1 / $2 }' | median; }

# before_line NOW BEFORE [WHAT]: the program's time against the earlier build's.
before_line() {
    printf '  program / before%s: %.2f x the time (median of the rounds'"'"' ratios; below 1.0: the program is faster)\n' \
        "${3:+ ($3)}" "$(ratio "$1" "$2")"
}
