#!/bin/bash
# The button pictures on screen: at scale 1 the pictures as drawn, at scale 2
# (GDK_SCALE=2) those drawn at twice the size, pixel for pixel, at rest and
# under the pointer.
set -euo pipefail
. "$(dirname "$0")/common.bash"

pictures="$TENVARIX_SOURCE/__png's"
shot="$E2E_TMP/shot.png"

# expect_shown SCALE PICTURE: within a few frames, the Cancel button (window
# coordinates 50, 495 at scale 1) shows PICTURE.
expect_shown() {
    local x y _
    eval "$(xdotool getwindowgeometry --shell "$APP_WID")"
    x=$((X + 50 * $1)) y=$((Y + 495 * $1))
    for _ in $(seq 1 50); do
        /usr/bin/import -window root "$shot"
        shows_picture "$shot" "$pictures/$2" "$x" "$y" && return 0
        sleep 0.1
    done
    fail "at scale $1 the Cancel button does not show $2"
}

for scale in 1 2; do
    suffix=
    [ "$scale" = 2 ] && suffix=@2x
    GDK_SCALE=$scale start_app "$TENVARIX_SOURCE"
    # 1000 x 1100 pixels at scale 2: lift the window so that its buttons are
    # on the 1280 x 1024 screen.
    [ "$scale" = 2 ] && xdotool windowmove "$APP_WID" 0 -200
    expect_shown "$scale" "cancelnotchosen$suffix.png"
    xdotool mousemove --window "$APP_WID" $((120 * scale)) $((509 * scale))
    expect_shown "$scale" "cancelchosen$suffix.png"
    xdotool mousemove --window "$APP_WID" $((120 * scale)) $((300 * scale))
    expect_shown "$scale" "cancelnotchosen$suffix.png"
    stop_app
done
echo "scale: ok"
