#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The real program on Wayland: weston nested in the test's Xvfb, the program
# with GDK_BACKEND=wayland. Its window shows frameless at 500 x 550; a key
# and a path typed into it and keypad Enter write the partner file and end
# the program with 0; a drag on its background moves it; Cancel ends it
# with 0. A compositor that goes away mid-run leaves no temporary file.
set -euo pipefail
. "$(dirname "$0")/common.bash"

start_weston
shot="$E2E_TMP/weston.png"

# Prints the window's top-left corner inside weston's output: where the
# painted frame starts, a black row 500 pixels long, with the frame's other
# corners 500 x 550 apart and none of the window's grey around them.
cat >"$E2E_TMP/find_window.py" <<'PY'
import re, subprocess, sys
ppm = subprocess.run(["/usr/bin/convert", sys.argv[1], "-depth", "8", "ppm:-"],
                     check=True, capture_output=True).stdout
magic, width, height, _, body = ppm.split(maxsplit=4)
width, height = int(width), int(height)
def px(x, y):
    if not (0 <= x < width and 0 <= y < height):
        return None
    i = 3 * (y * width + x)
    return tuple(body[i:i + 3])
grey = lambda v: (v, v, v)
for run in re.finditer(rb"\0{1500,}", body):
    y, x = divmod((run.start() + 2) // 3, width)
    if (px(x + 1, y + 1) == grey(76) and px(x + 3, y + 3) == grey(210)
            and px(x, y + 549) == grey(0) and px(x + 499, y + 549) == grey(255)
            and grey(210) not in (px(x - 1, y + 10), px(x + 500, y + 10),
                                  px(x + 10, y - 1), px(x + 10, y + 550))):
        print(x, y)
        sys.exit(0)
sys.exit(1)
PY

# find_window: sets WIN_X and WIN_Y to where the window is on weston's output.
find_window() {
    local corner
    /usr/bin/import -window "$WESTON_WID" "$shot"
    corner=$(/usr/bin/python3 "$E2E_TMP/find_window.py" "$shot") || return 1
    read -r WIN_X WIN_Y <<<"$corner"
}

# start_on_wayland: the program on weston, and where weston placed its window.
# A window that ended before may still show until weston repaints: wait for
# the output to be clear first, or its frame would be taken for the new one.
start_on_wayland() {
    no_window() { ! find_window; }
    wait_for 10 no_window || fail "an ended program's window stays on weston's output"
    WAYLAND_DISPLAY=tvx-wayland GDK_BACKEND=wayland launch_app "$TENVARIX_SOURCE"
    local _
    for _ in $(seq 1 150); do
        kill -0 "$APP_PID" 2>/dev/null || fail "the program ended before showing its window"
        find_window && return 0
        sleep 0.1
    done
    fail "no frameless 500 x 550 window on weston"
}

# wl_click X Y: a click at window coordinates. weston follows the X pointer
# by its motion since it last entered the output: enter afresh every time.
wl_click() {
    xdotool mousemove 1200 1000
    sleep 0.05
    xdotool mousemove --window "$WESTON_WID" $((WIN_X + $1)) $((WIN_Y + $2))
    sleep 0.05
    xdotool click 1
    sleep 0.3 # the click is through to the program before keys follow
}

work="$E2E_TMP/work"
mkdir "$work"
head -c 100000 /dev/urandom >"$work/data.bin"
key='Wayland1234!key'

start_on_wayland
wl_click 250 91
xdotool type --delay 5 "$key"
wl_click 250 355
xdotool type --delay 5 "$work/data.bin"
xdotool key KP_Enter
wait_exit 30
[ "$APP_STATUS" = 0 ] || fail "a good run on Wayland ended with '$APP_STATUS', not 0"
expect_xor "$work/data.bin" "$work/data.bintenvarixcrypto" "$key"

# A drag on the background moves the window on Wayland too.
start_on_wayland
before="$WIN_X $WIN_Y"
xdotool mousemove 1200 1000
sleep 0.05
xdotool mousemove --window "$WESTON_WID" $((WIN_X + 20)) $((WIN_Y + 300))
sleep 0.05
drag_by 60 40
moved() { find_window && [ "$WIN_X $WIN_Y" = "$(( ${before% *} + 60 )) $(( ${before#* } + 40 ))" ]; }
wait_for 5 moved || fail "a drag from $before on the background left the window at $WIN_X $WIN_Y"
wl_click 120 509
wait_exit
[ "$APP_STATUS" = 0 ] || fail "Cancel on Wayland: exit status $APP_STATUS"
# The compositor gone during a run on FAT through FUSE (no unnamed temporary
# files): the hidden temporary file under way is removed, as after a lost X
# display, and the earlier output stays.
fat_with_big_input
fat=$FAT_DIR
start_on_wayland
wl_click 250 91
xdotool type --delay 5 "$key"
wl_click 250 355
xdotool type --delay 5 "$fat/big"
xdotool key KP_Enter
wait_for 20 compgen -G "$fat/.tvx*" >/dev/null || fail "no temporary file under way"
kill -9 "$WESTON_PID"
stop_weston
wait_exit 60
[ "$APP_STATUS" != running ] || fail "the program outlived its compositor"
expect_only_earlier_output
echo "wayland: ok"
