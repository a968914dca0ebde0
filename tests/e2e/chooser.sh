#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Select File end to end: the real program under Xvfb, its buttons pressed
# through AT-SPI as a screen reader presses them, the chooser's location
# field filled through AT-SPI too (typing races its inline completion),
# Accept pressed; the file list must then hold the path and its newline. A
# valid key and Crypt then transform that file; Cancel ends another run.
set -euo pipefail

# The accessibility bridge needs a session bus of its own.
if [ -z "${CHOOSER_E2E_IN_BUS:-}" ]; then
    unset NO_AT_BRIDGE
    export CHOOSER_E2E_IN_BUS=1
    exec dbus-run-session -- bash "$0" "$@"
fi

. "$(dirname "$0")/common.bash"
tmp=$E2E_TMP

cat >"$tmp/atspi.py" <<'PY'
import sys, time
import pyatspi

def application(pid):
    for _ in range(500):
        desktop = pyatspi.Registry.getDesktop(0)
        for app in desktop:
            try:
                if app is not None and app.get_process_id() == pid:
                    return app
            except Exception:
                pass  # an application that has just gone away
        time.sleep(0.02)
    sys.exit("no accessible application with pid %d" % pid)

def find(root, predicate, what):
    for _ in range(500):
        found = pyatspi.findDescendant(root, predicate)
        if found is not None:
            return found
        time.sleep(0.02)
    sys.exit("not found: " + what)

def showing(a):
    return a.getState().contains(pyatspi.STATE_SHOWING)

def chooser(app):
    return find(app, lambda a: a.getRoleName() == "file chooser" and showing(a), "file chooser")

command, pid = sys.argv[1], int(sys.argv[2])
app = application(pid)
if command == "get-text":
    field = find(app, lambda a: a.name == sys.argv[3], sys.argv[3])
    sys.stdout.write(field.queryText().getText(0, -1))
elif command == "set-text":
    field = find(app, lambda a: a.name == sys.argv[3], sys.argv[3])
    field.queryEditableText().setTextContents(sys.argv[4])
elif command == "set-location":
    dialog = chooser(app)
    field = find(dialog, lambda a: a.getRole() == pyatspi.ROLE_TEXT and showing(a)
                 and a.getState().contains(pyatspi.STATE_EDITABLE), "location field")
    field.queryEditableText().setTextContents(sys.argv[3])
    for _ in range(500):
        if field.queryText().getText(0, -1) == sys.argv[3]:
            break
        time.sleep(0.02)
    else:
        sys.exit("the location field did not take the path")
elif command == "click":
    button = find(app, lambda a: a.getRole() == pyatspi.ROLE_PUSH_BUTTON
                  and a.name == sys.argv[3] and showing(a), sys.argv[3])
    action = button.queryAction()
    if action.nActions != 1 or action.getName(0) != "click":
        sys.exit("%s offers no single click action" % sys.argv[3])
    action.doAction(0)
elif command == "press":
    dialog = chooser(app)
    # The chooser keeps Accept insensitive until it has taken in the location.
    button = find(dialog, lambda a: a.getRole() == pyatspi.ROLE_PUSH_BUTTON
                  and a.name == sys.argv[3]
                  and a.getState().contains(pyatspi.STATE_SENSITIVE), sys.argv[3])
    button.queryAction().doAction(0)
else:
    sys.exit("unknown command " + command)
PY
atspi() { /usr/bin/python3 "$tmp/atspi.py" "$1" "$APP_PID" "${@:2}"; }

mkdir "$tmp/files"
input="$tmp/files/notes.txt"
printf 'Plain text, some bytes: \001\002\377 and the end.\n' >"$input"
key='Abcdefgh1234!?xyz'

start_app "$PWD"

atspi click "Select File"
dialog=
find_dialog() { dialog=$(xdotool search --onlyvisible --name '^Select File/s \.\.\.$' 2>/dev/null | head -n 1); [ -n "$dialog" ]; }
wait_for 20 find_dialog || fail "the chooser did not open"

# Ctrl+L shows the location field; the path goes in through AT-SPI.
xdotool mousemove --window "$dialog" 400 20
xdotool windowfocus --sync "$dialog"
xdotool key ctrl+l
atspi set-location "$input"
atspi press Accept
dialog_gone() { ! xdotool search --onlyvisible --name '^Select File/s \.\.\.$' >/dev/null 2>&1; }
wait_for 20 dialog_gone || fail "the chooser did not close on Accept"

list=$(atspi get-text "Absolute File Path(s)"; printf .)
list=${list%.}
[ "$list" = "$input"$'\n' ] || fail "file list holds '$list', expected '$input' and a newline"

# A key that passes every rule, then Crypt: the program transforms the file
# and ends.
atspi set-text Key "$key"
atspi click Crypt
wait_exit 30
[ "$APP_STATUS" = 0 ] || fail "after Crypt the program ended with '$APP_STATUS', not 0"

output="${input}tenvarixcrypto"
[ -f "$output" ] || fail "no output file $output"
expect_xor "$input" "$output" "$key"

start_app "$PWD"
atspi click Cancel
wait_exit
[ "$APP_STATUS" = 0 ] || fail "after Cancel the program ended with '$APP_STATUS', not 0"
echo "chooser.sh: ok"
