# SPDX-License-Identifier: GPL-3.0-or-later
# Shared by the end-to-end scripts: a scratch directory, starting the real
# program and finding its window, clicks, screen pixels and pictures, waiting
# for the exit, and the check of a transformed file. Sourced, not run.

E2E_TMP=$(mktemp -d)
APP_PID=
APP_WID=
APP_STATUS=
WESTON_PID=
WESTON_WID=

stop_app() {
    if [ -n "$APP_PID" ]; then
        kill "$APP_PID" 2>/dev/null || true
        wait "$APP_PID" 2>/dev/null || true
        APP_PID=
    fi
}
stop_weston() {
    if [ -n "$WESTON_PID" ]; then
        kill "$WESTON_PID" 2>/dev/null || true
        wait "$WESTON_PID" 2>/dev/null || true
        WESTON_PID=
    fi
}
FAT_DIR=
trap 'stop_app; stop_weston; [ -z "$FAT_DIR" ] || umount -l "$FAT_DIR"; rm -rf "$E2E_TMP"' EXIT

fail() {
    echo "FAIL: $*" >&2
    [ -s "$E2E_TMP/program.log" ] && tail -n 20 "$E2E_TMP/program.log" >&2
    exit 1
}

# wait_for SECONDS COMMAND...: polls COMMAND every 20 ms until it succeeds.
wait_for() {
    local seconds=$1 _
    shift
    for _ in $(seq 1 $((seconds * 50))); do
        "$@" && return 0
        sleep 0.02
    done
    return 1
}

# launch_app DIR [PROGRAM [ARG...]]: starts the program (default: the one
# under test) with DIR as working directory and its output in program.log;
# sets APP_PID.
launch_app() {
    local dir=$1
    shift
    (cd "$dir" && exec "${@:-$TENVARIX_BIN}") >>"$E2E_TMP/program.log" 2>&1 &
    APP_PID=$!
}

# start_app DIR [PROGRAM]: launch_app, then sets APP_WID once its window shows.
start_app() {
    launch_app "$@"
    APP_WID=
    local _
    for _ in $(seq 1 1500); do
        APP_WID=$(xdotool search --onlyvisible --pid "$APP_PID" 2>/dev/null | head -n 1 || true)
        [ -n "$APP_WID" ] && return 0
        kill -0 "$APP_PID" 2>/dev/null || fail "the program ended before showing its window"
        sleep 0.02
    done
    fail "no window appeared"
}

# start_weston: a Wayland compositor nested in the test's X server, its
# socket "tvx-wayland" in XDG_RUNTIME_DIR; sets WESTON_WID to its output
# window (1024 x 768 at 0, 0), into which xdotool sends keys and clicks.
# No fades: a closed window vanishes at once and a new one shows as drawn.
start_weston() {
    printf '[shell]\nclose-animation=none\nstartup-animation=none\nanimation=none\n' \
        >"$E2E_TMP/weston.ini"
    weston --backend=x11-backend.so --socket=tvx-wayland --width=1024 --height=768 \
        --use-pixman --config="$E2E_TMP/weston.ini" --idle-time=0 >>"$E2E_TMP/weston.log" 2>&1 &
    WESTON_PID=$!
    local _
    for _ in $(seq 1 500); do
        WESTON_WID=$(xdotool search --classname '^weston' 2>/dev/null | head -n 1 || true)
        [ -n "$WESTON_WID" ] && [ -S "$XDG_RUNTIME_DIR/tvx-wayland" ] && return 0
        kill -0 "$WESTON_PID" 2>/dev/null || break
        sleep 0.02
    done
    cat "$E2E_TMP/weston.log" >&2
    fail "weston did not start"
}

# click X Y [BUTTON]: a click at window coordinates.
click() {
    xdotool mousemove --window "$APP_WID" "$1" "$2" click "${3:-1}"
}

# drag_by DX DY: a left-button drag from where the pointer is. The program
# takes over the pointer only once it has seen the press: the last motion
# and the release come well after it, even on a loaded machine.
drag_by() {
    xdotool mousedown 1
    sleep 0.3
    xdotool mousemove_relative -- "$1" "$2"
    sleep 0.3
    xdotool mousemove_relative -- 1 0
    xdotool mousemove_relative -- -1 0
    sleep 0.3
    xdotool mouseup 1
}

# wait_exit [SECONDS]: waits for the program to end (10 s by default); sets
# APP_STATUS to its exit status, or to "running" when it is still there.
wait_exit() {
    APP_STATUS=running
    local _
    for _ in $(seq 1 $((${1:-10} * 50))); do
        if ! kill -0 "$APP_PID" 2>/dev/null; then
            APP_STATUS=0
            wait "$APP_PID" || APP_STATUS=$?
            APP_PID=
            return 0
        fi
        sleep 0.02
    done
}

# pixel X Y: the colour at window coordinates as #RRGGBB, from a fresh screenshot.
pixel() {
    /usr/bin/import -window root "$E2E_TMP/pixel.png"
    /usr/bin/convert "$E2E_TMP/pixel.png" -crop "1x1+$((100 + $1))+$((100 + $2))" -depth 8 txt:- |
        grep -o '#[0-9A-F]\{6\}' | head -n 1
}

# shows_picture SHOT PNG X Y: whether the screenshot SHOT shows the picture
# file PNG, laid over the window's grey, with its top-left corner at screen
# pixel (X, Y).
shows_picture() {
    local size differing
    size=$(/usr/bin/identify -format '%wx%h' "$2")
    /usr/bin/convert -size "$size" xc:'#D2D2D2' "$2" -composite "$E2E_TMP/want.png"
    /usr/bin/convert "$1" -crop "$size+$3+$4" +repage "$E2E_TMP/got.png"
    differing=$(/usr/bin/compare -metric AE -fuzz 2% "$E2E_TMP/want.png" "$E2E_TMP/got.png" null: 2>&1 || true)
    [ "$differing" = 0 ]
}

# expect_xor INPUT OUTPUT KEY: OUTPUT must hold INPUT XOR the repeating KEY.
expect_xor() {
    /usr/bin/python3 - "$@" <<'PY' || fail "$2 does not hold $1 XOR the key"
import sys
data = open(sys.argv[1], "rb").read()
out = open(sys.argv[2], "rb").read()
key = sys.argv[3].encode()
sys.exit(0 if out == bytes(b ^ key[i % len(key)] for i, b in enumerate(data)) else 1)
PY
}

# fat_with_big_input: a FAT file system through FUSE at $FAT_DIR (no unnamed
# temporary files: a run writes a hidden .tvx… file), holding a 40 MB input
# "big" and an earlier output "bigtenvarixcrypto" of "earlier"; unmounted on exit.
fat_with_big_input() {
    FAT_DIR="$E2E_TMP/fat"
    mkdir "$FAT_DIR"
    truncate -s 64M "$E2E_TMP/fat.img"
    mkfs.vfat "$E2E_TMP/fat.img" >/dev/null
    fusefat -o rw+ "$E2E_TMP/fat.img" "$FAT_DIR" >/dev/null 2>&1 || { FAT_DIR=; fail "fusefat did not mount"; }
    head -c 40000000 /dev/urandom >"$FAT_DIR/big"
    printf 'earlier\n' >"$FAT_DIR/bigtenvarixcrypto"
}

# expect_only_earlier_output: nothing left on the FAT beside the input and
# the earlier output, which is unchanged.
expect_only_earlier_output() {
    [ "$(ls -A "$FAT_DIR")" = "$(printf 'big\nbigtenvarixcrypto')" ] || fail "left behind: $(ls -A "$FAT_DIR")"
    [ "$(cat "$FAT_DIR/bigtenvarixcrypto")" = earlier ] || fail "the earlier output changed"
}
