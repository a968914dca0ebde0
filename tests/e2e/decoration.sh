#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The real program shows its painted decoration on screen: frame, arrowheads,
# connectors and the rule box, read back from a screenshot wherever no widget
# covers them.
set -euo pipefail

. "$(dirname "$0")/common.bash"

start_app "$TENVARIX_SOURCE"
wid=$APP_WID

eval "$(xdotool getwindowgeometry --shell "$wid")"
origin_x=$X
origin_y=$Y

shot="$E2E_TMP/shot.png"
take_shot() { /usr/bin/import -window root "$shot"; }

# Grey level of window pixel (x, y) in the last screenshot; "none" when the
# pixel is not grey.
level() {
    local hex
    hex=$(/usr/bin/convert "$shot" -crop "1x1+$((origin_x + $1))+$((origin_y + $2))" -depth 8 txt:- |
        grep -o '#[0-9A-Fa-f]\{6\}' | head -n 1)
    local r=${hex:1:2} g=${hex:3:2} b=${hex:5:2}
    if [ "$r" = "$g" ] && [ "$g" = "$b" ]; then echo $((16#$r)); else echo "none($hex)"; fi
}

# The first frames may still be on their way: wait until both arrowhead tips show.
for _ in $(seq 1 100); do
    take_shot
    [ "$(level 48 92)" = 107 ] && [ "$(level 451 92)" = 107 ] && break
    sleep 0.05
done

failures=0
expect() { # x y level what
    local got
    got=$(level "$1" "$2")
    if [ "$got" != "$3" ]; then
        echo "($1, $2) $4: expected $3, got $got" >&2
        failures=$((failures + 1))
    fi
}

# Frame: three dark lines top and left, two light ones bottom and right.
expect 0 0 0 "frame corner"
expect 499 0 0 "frame corner"
expect 0 549 0 "frame corner"
expect 1 549 255 "frame corner"
expect 499 549 255 "frame corner"
expect 1 1 76 "frame grey 0.3"
expect 2 2 153 "frame grey 0.6"
expect 498 2 230 "frame grey 0.9"
expect 250 548 230 "frame grey 0.9"
expect 3 3 210 "inside the frame"
expect 497 547 210 "inside the frame"

# Arrowheads: tips, shaded edges and the clear rows above and below.
expect 48 92 107 "left tip"
expect 47 92 1 "left tip"
expect 40 87 208 "left upper edge"
expect 41 96 177 "left lower edge"
expect 40 97 210 "below the left arrowhead"
expect 40 86 210 "above the left arrowhead"
expect 451 92 107 "right tip"
expect 452 92 1 "right tip"
expect 459 87 208 "right upper edge"
expect 458 96 177 "right lower edge"
expect 459 97 210 "below the right arrowhead"

# Connectors, joined to the arrowheads without a gap in row 92.
for x in 25 30 38 39 46; do expect "$x" 92 0 "left connector"; done
for x in 453 460 461 469 474; do expect "$x" 92 0 "right connector"; done
expect 25 130 0 "left connector"
expect 24 130 210 "beside the left connector"
expect 40 164 0 "left connector"
expect 474 130 0 "right connector"
expect 459 164 0 "right connector"

# Rule box: its bottom corners and a pixel just inside.
expect 50 218 0 "box corner"
expect 449 218 0 "box corner"
expect 50 150 0 "box side"
expect 449 150 0 "box side"
expect 51 217 210 "inside the box"
expect 250 219 210 "below the box"

[ "$failures" -eq 0 ] || fail "$failures decoration pixels differ"

# The program is still running after all that drawing; end it and make sure
# it went down by our signal and not by a fault.
kill -0 "$APP_PID" 2>/dev/null || fail "the program ended on its own"
kill "$APP_PID"
status=0
wait "$APP_PID" || status=$?
APP_PID=
[ "$status" -eq 143 ] || fail "the program ended with status $status, not by SIGTERM"
! grep -q -E 'AddressSanitizer|runtime error|CRITICAL' "$E2E_TMP/program.log" ||
    fail "the program reported errors"
echo "decoration on screen: all pixels as described"
