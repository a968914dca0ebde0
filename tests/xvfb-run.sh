#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs a command under a private Xvfb on a display that Xvfb picks itself,
# with a clean, quiet desktop environment in a temporary directory.
# The Xvfb and the directory are removed on every way out.
set -u
tmp=$(mktemp -d)
xpid=
cleanup() {
    if [ -n "$xpid" ]; then kill "$xpid" 2>/dev/null; wait "$xpid" 2>/dev/null; fi
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$tmp/display" 2>"$tmp/xvfb.log" &
xpid=$!
for _ in $(seq 1 1000); do
    [ -s "$tmp/display" ] && break
    kill -0 "$xpid" 2>/dev/null || break
    sleep 0.01
done
if ! [ -s "$tmp/display" ]; then
    echo "xvfb-run.sh: Xvfb did not start" >&2
    cat "$tmp/xvfb.log" >&2
    exit 1
fi

export DISPLAY=":$(head -n 1 "$tmp/display")"
export DBUS_SESSION_BUS_ADDRESS=disabled: GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1
export XDG_CONFIG_HOME="$tmp/config" XDG_CACHE_HOME="$tmp/cache" XDG_DATA_HOME="$tmp/data"
export XDG_RUNTIME_DIR="$tmp/runtime"
mkdir -p "$XDG_CONFIG_HOME/gtk-3.0" "$XDG_CACHE_HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
printf '[Settings]\ngtk-cursor-blink=false\n' >"$XDG_CONFIG_HOME/gtk-3.0/settings.ini"

"$@"
