#!/bin/bash
# The real program: its command line, where its window lands and what it
# tells the window manager, that its background drags it, how Cancel and the
# window manager's close end it, that it opens from another folder, and files
# named on its command line.
set -euo pipefail
. "$(dirname "$0")/common.bash"

# --help and --version answer without a display; an unknown option is an error.
out=$(env -u DISPLAY "$TENVARIX_BIN" --help) || fail "--help ended with $?"
for want in 'Usage:' '--version' '--display' 'FILE' "__png's"; do
    grep -qe "$want" <<<"$out" || fail "--help does not mention $want: $out"
done
version=$(sed -n 's/^project(tenvarix-crypto VERSION \([0-9.]*\).*/\1/p' "$TENVARIX_SOURCE/CMakeLists.txt")
out=$(env -u DISPLAY "$TENVARIX_BIN" --version) || fail "--version ended with $?"
[ "$out" = "tenvarix-crypto $version" ] || fail "--version printed '$out'"
status=0
env -u DISPLAY "$TENVARIX_BIN" --no-such-option >"$E2E_TMP/out" 2>"$E2E_TMP/err" || status=$?
[ "$status" = 2 ] || fail "an unknown option ended with $status, not 2"
[ ! -s "$E2E_TMP/out" ] && grep -q -- '--no-such-option' "$E2E_TMP/err" && grep -q -- '--help' "$E2E_TMP/err" ||
    fail "an unknown option printed: $(cat "$E2E_TMP/out" "$E2E_TMP/err")"

start_app "$TENVARIX_SOURCE"
geometry=$(xdotool getwindowgeometry "$APP_WID")
echo "$geometry" | grep -q 'Position: 100,100' || fail "window not at 100,100: $geometry"
echo "$geometry" | grep -q 'Geometry: 500x550' || fail "window not 500x550: $geometry"
# Undecorated: the window asks the window manager for no decorations at all.
hints=$(xprop -id "$APP_WID" _MOTIF_WM_HINTS)
echo "$hints" | grep -q '= 0x2, 0x0, 0x0' || fail "window asks for decorations: $hints"
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
at() { xdotool getwindowgeometry "$APP_WID" | grep -q "Position: $1"; }
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
echo "$geometry" | grep -q 'Geometry: 500x550' || fail "window from another folder: $geometry"
click 57 502
wait_exit
[ "$APP_STATUS" = 0 ] || fail "Cancel from another folder: exit status $APP_STATUS"

# Files named on the command line, relative or absolute, are in the list:
# a key and keypad Enter transform them. A name that is not UTF-8 is left
# out with a line on stderr, so it cannot spoil the run.
work="$E2E_TMP/work"
mkdir -p "$work/sub"
printf 'first\n' >"$work/one.txt"
printf 'second\n' >"$work/sub/two.txt"
printf 'third\n' >"$work/$(printf 'caf\351')"
key='abcdefghijkA1!'
start_app "$work" "$TENVARIX_BIN" one.txt "$work/sub/two.txt" "$(printf 'caf\351')"
click 250 91
xdotool type --delay 2 "$key"
xdotool key KP_Enter
wait_exit 30
[ "$APP_STATUS" = 0 ] || fail "the run over the command line's files ended with '$APP_STATUS'"
expect_xor "$work/one.txt" "$work/one.txttenvarixcrypto" "$key"
expect_xor "$work/sub/two.txt" "$work/sub/two.txttenvarixcrypto" "$key"
[ ! -e "$work/$(printf 'caf\351')tenvarixcrypto" ] || fail "the name the list cannot hold was transformed"
[ "$(grep -c 'left out of the file list.*caf\\351' "$E2E_TMP/program.log")" = 1 ] ||
    fail "no line on stderr for the name left out"
echo "window: ok"
