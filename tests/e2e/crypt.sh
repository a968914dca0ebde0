#!/bin/bash
# The real program under Xvfb: a key and two paths typed into the window,
# keypad Enter; the program ends with 0 and both outputs hold the key's XOR.
# A refused key leaves the window open, shows a message and writes nothing.
set -euo pipefail
. "$(dirname "$0")/common.bash"

# Types the key into the entry and each path as one line of the file list.
fill_in() {
    local key=$1
    shift
    click 250 91
    xdotool type --delay 2 "$key"
    click 250 355
    for p in "$@"; do
        xdotool type --delay 2 "$p"
        xdotool key Return
    done
}

work="$E2E_TMP/work"
mkdir "$work"
printf 'first file\n' >"$work/one.txt"
head -c 300000 /dev/urandom >"$work/two data.bin"
key='abcdefghijkA1!'

start_app "$TENVARIX_SOURCE"
fill_in "$key" "$work/one.txt" "$work/two data.bin"
xdotool key KP_Enter
wait_exit 30
[ "$APP_STATUS" = 0 ] || fail "a good run ended with '$APP_STATUS', not 0"
expect_xor "$work/one.txt" "$work/one.txttenvarixcrypto" "$key"
expect_xor "$work/two data.bin" "$work/two data.bintenvarixcrypto" "$key"

rm "$work"/*tenvarixcrypto
before=$(ls -l --time-style=full-iso "$work")
start_app "$TENVARIX_SOURCE"
fill_in "short key" "$work/one.txt"
xdotool key KP_Enter
wait_exit 2
[ "$APP_STATUS" = running ] || fail "a refused key closed the window ($APP_STATUS)"
# The message line (10,525, 480 wide) shows red text.
red=$(/usr/bin/import -window "$APP_WID" -crop 480x20+10+522 +repage -depth 8 txt:- |
      awk -F'[(),]' 'NR > 1 && $3 > 150 && $4 < 80 && $5 < 80 { n++ } END { print n + 0 }')
[ "$red" -gt 10 ] || fail "no message shown"
[ "$(ls -l --time-style=full-iso "$work")" = "$before" ] || fail "files changed after a refused key"
echo "crypt: ok"
