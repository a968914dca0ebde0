# SPDX-License-Identifier: GPL-3.0-or-later
# Shared by the benchmarks that time the real program through its window:
# the key typed into the key entry, then the time from keypad Enter to the
# program's exit. Sourced after tests/e2e/common.bash (by common.bash), not
# run. The caller sets key, limit (seconds a run may take) and, for weston,
# WESTON_WID and E2E_TMP/find.py (see smallfiles.sh).

watchdog=
stop_watchdog() {
    if [ -n "$watchdog" ]; then kill "$watchdog" 2>/dev/null; wait "$watchdog" 2>/dev/null; watchdog=; fi
    return 0
}

since() { elapsed=$(awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }'); }
timed() { local t0=$EPOCHREALTIME; "$@"; since "$t0"; }

# Waits until the program has used no CPU for 0.2 s: the window is drawn, the
# long file list laid out (a folder listed) and the typed key in, before the
# clock starts.
settle() {
    local before now _
    for _ in $(seq 1 300); do
        before=${now:-}
        now=$(awk '{ print $14 + $15 }' "/proc/$APP_PID/stat") || fail "the program ended before keypad Enter"
        [ "$now" != "$before" ] || return 0
        sleep 0.2
    done
    fail "the program stays busy before keypad Enter"
}

# The program's window on weston's output: the first long run of its grey.
on_weston() {
    local corner
    /usr/bin/import -window "$WESTON_WID" "$E2E_TMP/weston.png"
    corner=$(/usr/bin/python3 "$E2E_TMP/find.py" "$E2E_TMP/weston.png") || return 1
    read -r WIN_X WIN_Y <<<"$corner"
}
not_on_weston() { ! on_weston; }
shown_on_weston() {
    kill -0 "$APP_PID" 2>/dev/null || fail "the program ended before showing its window"
    on_weston
}

# timed_program x11|wayland SOURCE PROGRAM ARG...: the program started with
# the arguments, the key typed, then the time from keypad Enter to its exit
# into $elapsed; fails unless it exits with status 0 within the limit.
timed_program() {
    local kind=$1 source=$2 t0 status=0
    shift 2
    if [ "$kind" = x11 ]; then
        start_app "$source" "$@"
        click 250 91
    else
        wait_for 10 not_on_weston || fail "an ended program's window stays on weston"
        WAYLAND_DISPLAY=tvx-wayland GDK_BACKEND=wayland launch_app "$source" "$@"
        wait_for 60 shown_on_weston || fail "no window on weston"
        # weston follows the X pointer from where it last entered its window.
        xdotool mousemove 1200 1000
        sleep 0.05
        xdotool mousemove --window "$WESTON_WID" $((WIN_X + 250)) $((WIN_Y + 88)) click 1
    fi
    sleep 0.3
    xdotool type --delay 2 "$key"
    settle
    # xdotool sends the key within a millisecond of its exit; its start-up is not timed.
    xdotool key --delay 0 KP_Enter
    t0=$EPOCHREALTIME
    # A key that missed the entry leaves the window open: end it after the limit.
    (sleep "$limit" & s=$!; trap 'kill $s; exit' TERM; wait $s; kill "$APP_PID") 2>/dev/null &
    watchdog=$!
    wait "$APP_PID" || status=$?
    since "$t0"
    stop_watchdog
    APP_PID=
    [ "$status" = 0 ] || fail "the program on $kind ended with status $status after $elapsed s (limit $limit s)"
}
