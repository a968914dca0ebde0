#!/bin/bash
# The real program under Xvfb: a key and two paths typed into the window,
# keypad Enter; the program ends with 0 and both outputs hold the key's XOR.
# A refused key leaves the window open, shows a message and writes nothing.
set -euo pipefail

work=$(mktemp -d)
pid=
cleanup() {
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

start_program() {
    (cd "$TENVARIX_SOURCE" && exec "$TENVARIX_BIN") &
    pid=$!
    wid=
    for _ in $(seq 1 1500); do
        wid=$(xdotool search --onlyvisible --pid "$pid" 2>/dev/null | head -n 1) || true
        [ -n "$wid" ] && return 0
        kill -0 "$pid" 2>/dev/null || fail "the program ended before showing its window"
        sleep 0.02
    done
    fail "no window"
}

# Types the key into the entry and each path as one line of the file list.
fill_in() {
    local key=$1; shift
    xdotool mousemove --window "$wid" 250 91 click 1
    xdotool type --delay 2 "$key"
    xdotool mousemove --window "$wid" 250 355 click 1
    for p in "$@"; do
        xdotool type --delay 2 "$p"
        xdotool key Return
    done
}

# Sets rc to the program's exit status, or to "running" after the time limit.
wait_for_exit() {
    rc=running
    for _ in $(seq 1 "$1"); do
        if ! kill -0 "$pid" 2>/dev/null; then
            rc=0
            wait "$pid" || rc=$?
            pid=
            return
        fi
        sleep 0.02
    done
}

expect_xor() { # input output key
    python3 - "$@" <<'PY' || fail "$2 does not hold $1 XOR the key"
import sys
data = open(sys.argv[1], 'rb').read()
key = sys.argv[3].encode()
out = open(sys.argv[2], 'rb').read()
sys.exit(0 if out == bytes(b ^ key[i % len(key)] for i, b in enumerate(data)) else 1)
PY
}

printf 'first file\n' >"$work/one.txt"
head -c 300000 /dev/urandom >"$work/two data.bin"
key='abcdefghijkA1!'

start_program
fill_in "$key" "$work/one.txt" "$work/two data.bin"
xdotool key KP_Enter
wait_for_exit 1500
[ "$rc" = 0 ] || fail "a good run ended with '$rc', not 0"
expect_xor "$work/one.txt" "$work/one.txttenvarixcrypto" "$key"
expect_xor "$work/two data.bin" "$work/two data.bintenvarixcrypto" "$key"

rm "$work"/*tenvarixcrypto
before=$(ls -l --time-style=full-iso "$work")
start_program
fill_in "short key" "$work/one.txt"
xdotool key KP_Enter
wait_for_exit 100
[ "$rc" = running ] || fail "a refused key closed the window ($rc)"
# The message line (10,525, 480 wide) shows red text.
red=$(import -window "$wid" -crop 480x20+10+522 +repage -depth 8 txt:- |
      awk -F'[(),]' 'NR > 1 && $3 > 150 && $4 < 80 && $5 < 80 { n++ } END { print n + 0 }')
[ "$red" -gt 10 ] || fail "no message shown"
[ "$(ls -l --time-style=full-iso "$work")" = "$before" ] || fail "files changed after a refused key"
echo "PASS"
