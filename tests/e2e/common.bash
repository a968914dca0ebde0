# Shared by the end-to-end scripts: start the real program, find its window,
# click, read screen pixels, wait for the exit. Sourced, not run.

fail() { echo "FAIL: $*" >&2; exit 1; }

# start_app DIR: starts the program with DIR as working directory; sets
# APP_PID and APP_WID.
start_app() {
    (cd "$1" && exec "$TENVARIX_BIN") &
    APP_PID=$!
    APP_WID=
    local _
    for _ in $(seq 1 500); do
        APP_WID=$(xdotool search --onlyvisible --pid "$APP_PID" 2>/dev/null | head -n 1 || true)
        [ -n "$APP_WID" ] && break
        kill -0 "$APP_PID" 2>/dev/null || fail "the program ended before showing its window"
        sleep 0.02
    done
    [ -n "$APP_WID" ] || fail "no window appeared"
}

# click X Y [BUTTON]: a click at window coordinates.
click() {
    xdotool mousemove --window "$APP_WID" "$1" "$2" click "${3:-1}"
}

# wait_exit: waits up to 10 s for the program to end; sets APP_STATUS.
wait_exit() {
    local _
    for _ in $(seq 1 500); do
        kill -0 "$APP_PID" 2>/dev/null || break
        sleep 0.02
    done
    if kill -0 "$APP_PID" 2>/dev/null; then
        kill "$APP_PID"
        wait "$APP_PID" 2>/dev/null || true
        fail "the program did not end"
    fi
    APP_STATUS=0
    wait "$APP_PID" || APP_STATUS=$?
}

stop_app() {
    kill "$APP_PID" 2>/dev/null || true
    wait "$APP_PID" 2>/dev/null || true
}

# pixel X Y: the colour at window coordinates as #RRGGBB, from a fresh screenshot.
pixel() {
    local shot
    shot=$(mktemp --suffix=.png)
    /usr/bin/import -window root "$shot"
    /usr/bin/convert "$shot" -crop "1x1+$((100 + $1))+$((100 + $2))" -depth 8 txt:- |
        grep -o '#[0-9A-F]\{6\}' | head -n 1
    rm -f "$shot"
}
