#!/bin/bash
# The real program: where its window lands, that its background drags it,
# how Cancel and the window manager's close end it, and that it still opens
# without its pictures.
set -euo pipefail
. "$(dirname "$0")/common.bash"

start_app "$TENVARIX_SOURCE"
geometry=$(xdotool getwindowgeometry "$APP_WID")
echo "$geometry" | grep -q 'Position: 100,100' || fail "window not at 100,100: $geometry"
echo "$geometry" | grep -q 'Geometry: 500x550' || fail "window not 500x550: $geometry"
# Undecorated: the window asks the window manager for no decorations at all.
hints=$(xprop -id "$APP_WID" _MOTIF_WM_HINTS)
echo "$hints" | grep -q '= 0x2, 0x0, 0x0' || fail "window asks for decorations: $hints"

# Without a title bar the window is moved by dragging its painted background;
# a drag that starts on a widget (here the file list) leaves it where it is.
drag() { # X Y DX DY: a left-button drag from window coordinates
    xdotool mousemove --window "$APP_WID" "$1" "$2"
    drag_by "$3" "$4"
}
at() { xdotool getwindowgeometry "$APP_WID" | grep -q "Position: $1"; }
drag 250 350 60 40
sleep 0.3
at 100,100 || fail "a drag on the file list moved the window: $(xdotool getwindowgeometry "$APP_WID")"
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

# Without ./__png's the buttons show the toolkit's placeholder and still work.
mkdir "$E2E_TMP/empty"
start_app "$E2E_TMP/empty"
geometry=$(xdotool getwindowgeometry "$APP_WID")
echo "$geometry" | grep -q 'Geometry: 500x550' || fail "window without pictures: $geometry"
click 57 502
wait_exit
[ "$APP_STATUS" = 0 ] || fail "Cancel without pictures: exit status $APP_STATUS"
echo "window: ok"
