#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The button pictures on a screen of scale 2 (GDK_SCALE=2): those drawn at
# twice the size, pixel for pixel, at rest and under the pointer.
set -euo pipefail
. "$(dirname "$0")/common.bash"

pictures="$TENVARIX_SOURCE/__png's"
shot="$E2E_TMP/shot.png"

# expect_shown PICTURE: within a few frames, the Cancel button (window
# coordinates 50, 495 at scale 1) shows PICTURE.
expect_shown() {
    local _
    eval "$(xdotool getwindowgeometry --shell "$APP_WID")"
    for _ in $(seq 1 50); do
        /usr/bin/import -window root "$shot"
        shows_picture "$shot" "$pictures/$1" $((X + 100)) $((Y + 990)) && return 0
        sleep 0.1
    done
    fail "at scale 2 the Cancel button does not show $1"
}

GDK_SCALE=2 start_app "$TENVARIX_SOURCE"
# 1000 x 1100 pixels: lift the window so that its buttons are on the screen.
xdotool windowmove "$APP_WID" 0 -200
expect_shown cancelnotchosen@2x.png
xdotool mousemove --window "$APP_WID" 240 1018
expect_shown cancelchosen@2x.png
xdotool mousemove --window "$APP_WID" 240 600
expect_shown cancelnotchosen@2x.png
echo "scale: ok"
