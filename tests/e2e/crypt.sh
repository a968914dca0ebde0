#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The real program under Xvfb: a key and two paths typed into the window,
# keypad Enter; the program ends with 0 and both outputs hold the key's XOR.
# A file in a folder named after the program makes a round trip beside itself.
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

printf 'earlier\n' >"$work/two data.bintenvarixcrypto"

start_app "$TENVARIX_SOURCE"
# Traced: each output is flushed (on its own, or with its file system) before
# it takes its name, and its folder (or file system) after.
strace -f -qq -p "$APP_PID" -o "$E2E_TMP/trace" -e trace=fsync,fdatasync,syncfs,linkat,renameat,renameat2 &
wait_for 5 test -s "$E2E_TMP/trace" || sleep 1
fill_in "$key" "$work/one.txt" "$work/two data.bin"
xdotool key KP_Enter
wait_exit 30
[ "$APP_STATUS" = 0 ] || fail "a good run ended with '$APP_STATUS', not 0"
expect_xor "$work/one.txt" "$work/one.txttenvarixcrypto" "$key"
expect_xor "$work/two data.bin" "$work/two data.bintenvarixcrypto" "$key"
wait
/usr/bin/python3 - "$E2E_TMP/trace" <<'PY' || fail "outputs named before they were flushed: $(cat "$E2E_TMP/trace")"
import re, sys
calls = [m.groups() for m in (re.search(r'(\w+)\((.*)\) += 0', line) for line in open(sys.argv[1])) if m]
for name in ("one.txttenvarixcrypto", "two data.bintenvarixcrypto"):
    at = next(i for i, (call, args) in enumerate(calls) if call.startswith(("link", "rename")) and f'"{name}"' in args)
    # The unnamed file is flushed, then linked (to a hidden name first when it replaces).
    link = at if calls[at][0] == "linkat" else at - 1
    # Linked from its descriptor, or through its link in /proc.
    temp = re.match(r'(\d+), ""', calls[link][1]) or re.search(r'/proc/self/fd/(\d+)', calls[link][1])
    temp = temp.group(1)
    before = calls[:link]
    assert ("fsync", temp) in before or ("fdatasync", temp) in before or any(c == "syncfs" for c, _ in before), before
    # Their folder is flushed once for both: on its own or with its file system.
    assert any(c in ("fsync", "syncfs") for c, _ in calls[at + 1:]), calls[at + 1:]
PY

# The marker in a folder's name, and at the start of a file's: the partner
# stays in that folder under the name plus the marker, and turns back into
# the original there. Nothing lands beside the folder.
rm "$work"/*tenvarixcrypto
vault="$work/tenvarixcrypto-vault"
mkdir "$vault"
printf 'kept in the vault\n' >"$vault/tenvarixcrypto-notes.txt"
cp "$vault/tenvarixcrypto-notes.txt" "$E2E_TMP/notes.orig"
start_app "$TENVARIX_SOURCE"
fill_in "$key" "$vault/tenvarixcrypto-notes.txt"
xdotool key KP_Enter
wait_exit 30
[ "$APP_STATUS" = 0 ] || fail "a run in the vault ended with '$APP_STATUS', not 0"
expect_xor "$vault/tenvarixcrypto-notes.txt" "$vault/tenvarixcrypto-notes.txttenvarixcrypto" "$key"
rm "$vault/tenvarixcrypto-notes.txt"
start_app "$TENVARIX_SOURCE"
fill_in "$key" "$vault/tenvarixcrypto-notes.txttenvarixcrypto"
xdotool key KP_Enter
wait_exit 30
[ "$APP_STATUS" = 0 ] || fail "the way back in the vault ended with '$APP_STATUS', not 0"
cmp -s "$vault/tenvarixcrypto-notes.txt" "$E2E_TMP/notes.orig" || fail "the round trip in the vault changed the file"
[ "$(ls -A "$vault")" = "$(printf 'tenvarixcrypto-notes.txt\ntenvarixcrypto-notes.txttenvarixcrypto')" ] ||
    fail "the vault holds: $(ls -A "$vault")"
[ "$(ls -A "$work")" = "$(printf 'one.txt\ntenvarixcrypto-vault\ntwo data.bin')" ] ||
    fail "written beside the vault: $(ls -A "$work")"
rm -r "$vault"

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
# A logout during a run on FAT through FUSE (no unnamed temporary files): the
# display goes away while a hidden temporary file is under way; it is removed
# and the earlier output stays.
fat_with_big_input
fat=$FAT_DIR
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$E2E_TMP/display" 2>/dev/null &
xvfb=$!
wait_for 10 test -s "$E2E_TMP/display" || fail "no second Xvfb"
outer_display=$DISPLAY
export DISPLAY=":$(head -n 1 "$E2E_TMP/display")"
start_app "$TENVARIX_SOURCE"
fill_in "$key" "$fat/big"
xdotool key KP_Enter
wait_for 20 compgen -G "$fat/.tvx*" >/dev/null || fail "no temporary file under way"
kill "$xvfb"
wait_exit 60
export DISPLAY=$outer_display
[ "$APP_STATUS" != running ] || fail "the program outlived its display"
expect_only_earlier_output
echo "crypt: ok"
