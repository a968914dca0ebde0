#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The real program: its command line, where its window lands and what it
# tells the window manager, that its background drags it, how Cancel and the
# window manager's close end it, that it opens from another folder, and files
# named on its command line.
set -euo pipefail
. "$(dirname "$0")/common.bash"

# --help and --version answer without a display.
out=$(env -u DISPLAY "$TENVARIX_BIN" --help) || fail "--help ended with $?"
for want in 'Usage:' '--version' '--display' 'FILE' "__png's"; do
    grep -qe "$want" <<<"$out" || fail "--help does not mention $want: $out"
done
version=$(sed -n 's/^project(tenvarix-crypto VERSION \([0-9.]*\).*/\1/p' "$TENVARIX_SOURCE/CMakeLists.txt")
out=$(env -u DISPLAY "$TENVARIX_BIN" --version) || fail "--version ended with $?"
[ "$out" = "tenvarix-crypto $version" ] || fail "--version printed '$out'"

start_app "$TENVARIX_SOURCE"
geometry=$(xdotool getwindowgeometry "$APP_WID")
grep -q 'Position: 100,100' <<<"$geometry" || fail "window not at 100,100: $geometry"
grep -q 'Geometry: 500x550' <<<"$geometry" || fail "window not 500x550: $geometry"
# Undecorated: the window asks the window manager for no decorations at all.
hints=$(xprop -id "$APP_WID" _MOTIF_WM_HINTS)
grep -q '= 0x2, 0x0, 0x0' <<<"$hints" || fail "window asks for decorations: $hints"
# Neither resizable nor maximisable: minimum and maximum size are the same.
hints=$(xprop -id "$APP_WID" WM_NORMAL_HINTS)
grep -q 'minimum size: 500 by 550' <<<"$hints" && grep -q 'maximum size: 500 by 550' <<<"$hints" ||
    fail "size hints: $hints"
app=io.github.tenvarix.TenvarixCrypto
[ "$(xprop -id "$APP_WID" WM_CLASS)" = "WM_CLASS(STRING) = \"$app\", \"$app\"" ] ||
    fail "$(xprop -id "$APP_WID" WM_CLASS)"
[ "$(xprop -id "$APP_WID" _NET_WM_NAME)" = '_NET_WM_NAME(UTF8_STRING) = "Tenvarix Crypto"' ] ||
    fail "$(xprop -id "$APP_WID" _NET_WM_NAME)"

# Without a title bar the window is moved by dragging its painted background;
# a drag that starts on a widget (here the file list) leaves it where it is.
drag() { # X Y DX DY: a left-button drag from window coordinates
    xdotool mousemove --window "$APP_WID" "$1" "$2"
    drag_by "$3" "$4"
}
at() { grep -q "Position: $1" < <(xdotool getwindowgeometry "$APP_WID"); }
drag 250 350 60 40
sleep 0.3
wait_for 2 at 100,100 || fail "a drag on the file list moved the window: $(xdotool getwindowgeometry "$APP_WID")"
drag 20 300 60 40
wait_for 5 at 160,140 || fail "a drag on the background did not move the window: $(xdotool getwindowgeometry "$APP_WID")"
stop_app

for button in 1 2 3; do
    start_app "$TENVARIX_SOURCE"
    click 120 509 "$button"
    wait_exit
    [ "$APP_STATUS" = 0 ] || fail "Cancel with button $button: exit status $APP_STATUS"
done

start_app "$TENVARIX_SOURCE"
/usr/bin/python3 "$(dirname "$0")/wm_close.py" "$APP_WID"
wait_exit
[ "$APP_STATUS" = 0 ] || fail "window manager close: exit status $APP_STATUS"

# Started in a folder without ./__png's the window works as well.
mkdir "$E2E_TMP/empty"
start_app "$E2E_TMP/empty"
geometry=$(xdotool getwindowgeometry "$APP_WID")
grep -q 'Geometry: 500x550' <<<"$geometry" || fail "window from another folder: $geometry"
click 57 502
wait_exit
[ "$APP_STATUS" = 0 ] || fail "Cancel from another folder: exit status $APP_STATUS"

# Files and folders named on the command line, relative or absolute, are in
# the list; a folder as the regular files under it in byte order, without
# links or FIFOs, an unreadable subfolder as itself. A key and keypad Enter
# transform them up to that subfolder, where the run stops. Names that are not
# UTF-8, name nothing or are unknown options are left out with a line on
# stderr, so they cannot spoil the run. Without the capabilities that let root
# read any folder, the unreadable one is unreadable for root too.
work="$E2E_TMP/work"
mkdir -p "$work/sub" "$work/tree/d" "$work/tree/locked" "$work/outside"
printf 'first\n' >"$work/one.txt"
printf 'second\n' >"$work/sub/two.txt"
printf 'third\n' >"$work/$(printf 'caf\351')"
for f in .hidden a.txt c.txt d/e.txt locked/x z.txt; do printf '%s\n' "$f" >"$work/tree/$f"; done
printf 'stale\n' >"$work/tree/a.txttenvarixcrypto"
printf 'outside\n' >"$work/outside/o.txt"
ln -s a.txt "$work/tree/b-link"
ln -s ../outside "$work/tree/b-linkdir"
mkfifo "$work/tree/b-pipe"
chmod 0 "$work/tree/locked"
key='abcdefghijkA1!'
start_app "$work" setpriv --bounding-set=-dac_override,-dac_read_search "$TENVARIX_BIN" \
    one.txt "$work/sub/two.txt" "$(printf 'caf\351')" --no-such-option no-such-file tree
click 250 91
xdotool type --delay 2 "$key"
xdotool key KP_Enter
wait_exit 3
[ "$APP_STATUS" = running ] || fail "the run stopped at no unreadable folder: '$APP_STATUS'"
stop_app
chmod 755 "$work/tree/locked"
expect_xor "$work/one.txt" "$work/one.txttenvarixcrypto" "$key"
expect_xor "$work/sub/two.txt" "$work/sub/two.txttenvarixcrypto" "$key"
for f in .hidden a.txt c.txt d/e.txt; do
    expect_xor "$work/tree/$f" "$work/tree/${f}tenvarixcrypto" "$key"
done
# The partner came right after its file, so it was decrypted to the same bytes.
[ "$(cat "$work/tree/a.txt")" = a.txt ] || fail "a.txt was changed: $(cat "$work/tree/a.txt")"
left=$(cd "$work" && find . -name '*tenvarixcrypto*' | sort | tr '\n' ' ')
[ "$left" = "./one.txttenvarixcrypto ./sub/two.txttenvarixcrypto ./tree/.hiddentenvarixcrypto ./tree/a.txttenvarixcrypto ./tree/c.txttenvarixcrypto ./tree/d/e.txttenvarixcrypto " ] ||
    fail "partners written: $left"
for said in 'left out of the file list.*caf\\351' 'ignored unknown option --no-such-option' \
            'names no file or folder: no-such-file'; do
    [ "$(grep -c "$said" "$E2E_TMP/program.log")" = 1 ] || fail "not once on stderr: $said"
done
echo "window: ok"
