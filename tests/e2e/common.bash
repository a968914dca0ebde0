# Shared by the end-to-end scripts: a scratch directory, starting the real
# program and finding its window, clicks, screen pixels, waiting for the
# exit, and the check of a transformed file. Sourced, not run.

E2E_TMP=$(mktemp -d)
APP_PID=
APP_WID=
APP_STATUS=

stop_app() {
    if [ -n "$APP_PID" ]; then
        kill "$APP_PID" 2>/dev/null || true
        wait "$APP_PID" 2>/dev/null || true
        APP_PID=
    fi
}
trap 'stop_app; rm -rf "$E2E_TMP"' EXIT

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

# start_app DIR [PROGRAM [ARG...]]: starts the program (default: the one
# under test) with DIR as working directory and its output in program.log;
# sets APP_PID and APP_WID once its window shows.
start_app() {
    local dir=$1
    shift
    (cd "$dir" && exec "${@:-$TENVARIX_BIN}") >>"$E2E_TMP/program.log" 2>&1 &
    APP_PID=$!
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

# click X Y [BUTTON]: a click at window coordinates.
click() {
    xdotool mousemove --window "$APP_WID" "$1" "$2" click "${3:-1}"
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
