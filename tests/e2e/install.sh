#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the build into a scratch DESTDIR and checks where every file
# lands. Started in any folder, the installed program shows its pictures,
# from the installed data folder or the source tree, and when neither has
# them stderr says where it looked. Partner files open with it through the
# launcher, which leaves the program in the folder it was started from, and
# files opened while its window is open join that window.
set -euo pipefail

# Later starts find the open window through the session bus: one of its own.
if [ -z "${INSTALL_E2E_IN_BUS:-}" ]; then
    export INSTALL_E2E_IN_BUS=1
    exec dbus-run-session -- bash "$0" "$@"
fi
build=$(dirname "$TENVARIX_BIN")
. "$(dirname "$0")/common.bash"
tmp=$E2E_TMP

root="$tmp/root"
DESTDIR="$root" cmake --install "$build" >/dev/null
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
app=io.github.tenvarix.TenvarixCrypto

# Every file under the prefix, and nothing anywhere else.
expected=$(sed "s|^|.$prefix/|" "$TENVARIX_SOURCE/tests/installed-files.txt" | sort)
actual=$(cd "$root" && find . -type f | sort)
[ "$actual" = "$expected" ] || fail "installed files differ:
$(diff <(echo "$expected") <(echo "$actual"))"
[ -x "$root$prefix/bin/tenvarix-crypto" ] || fail "the program is not executable"
for f in "$TENVARIX_SOURCE/__png's"/*.png; do
    cmp -s "$f" "$root$prefix/share/tenvarix-crypto/__png's/$(basename "$f")" ||
        fail "installed picture differs from $f"
done

desktop="$root$prefix/share/applications/$app.desktop"
! grep -q '^Path=' "$desktop" || fail "the launcher sets a working directory of its own"
[ "$(sed -n 's/^Exec=//p' "$desktop")" = "$prefix/bin/tenvarix-crypto %F" ] || fail "Exec= is wrong"
[ "$(sed -n 's/^Icon=//p' "$desktop")" = "$app" ] || fail "Icon= is wrong"
[ "$(sed -n 's/^StartupWMClass=//p' "$desktop")" = "$app" ] || fail "StartupWMClass= is wrong"
[ "$(sed -n 's/^MimeType=//p' "$desktop")" = "application/x-tenvarix-crypto;" ] || fail "MimeType= is wrong"

# Starts the installed program in a directory and waits for its window.
start_in() { start_app "$1" "$root$prefix/bin/tenvarix-crypto"; }

# The three pictures at rest, each over the window's grey; the window sits at
# (100, 100) and the buttons at x = 50, 200, 350 and y = 495 inside it.
shows_pictures() {
    /usr/bin/import -window root "$tmp/shot.png"
    local picture x
    for entry in cancelnotchosen:150 selectfilenotchosen:300 cryptnotchosen:450; do
        picture=${entry%%:*} x=${entry##*:}
        shows_picture "$tmp/shot.png" "$TENVARIX_SOURCE/__png's/$picture.png" "$x" 595 || return 1
    done
}
# Drawing follows the window's appearance; allow it a few frames.
wait_for_pictures() {
    for _ in $(seq 1 50); do
        shows_pictures && return 0
        sleep 0.1
    done
    return 1
}

# In the data folder the pictures are found as ./__png's/; from any other
# folder they come from the source tree here, as the installed data folder is
# only staged.
start_in "$root$prefix/share/tenvarix-crypto"
wait_for_pictures || fail "the data folder does not show the pictures"
stop_app
start_in "$tmp"
wait_for_pictures || fail "the pictures are not found from another folder"
stop_app

# In a mount namespace of its own the source tree's pictures are hidden and
# the installed data folder holds the given pictures, or none.
cat >"$tmp/hide-pictures.sh" <<'EOF'
set -e
pictures=$1
shift
mount -t tmpfs none "$TENVARIX_SOURCE/__png's"
mount -t tmpfs none "$PREFIX_SHARE"
mkdir -p "$PREFIX_SHARE/tenvarix-crypto/__png's"
[ -z "$pictures" ] || cp "$pictures"/*.png "$PREFIX_SHARE/tenvarix-crypto/__png's/"
exec "$@"
EOF
hidden() {
    PREFIX_SHARE="$prefix/share" start_app "$tmp" unshare -m bash "$tmp/hide-pictures.sh" "$@"
}
if [ -d "$prefix/share" ] && unshare -m true 2>/dev/null; then
    hidden "$root$prefix/share/tenvarix-crypto/__png's" "$root$prefix/bin/tenvarix-crypto"
    wait_for_pictures || fail "the installed data folder's pictures are not shown"
    stop_app

    : >"$E2E_TMP/program.log"
    hidden "" "$root$prefix/bin/tenvarix-crypto"
    for _ in $(seq 1 50); do
        # The file list's white inside shows that the window has been drawn.
        [ "$(/usr/bin/import -window root -crop 1x1+300+450 -depth 8 txt:- | grep -o '#[0-9A-F]\{6\}')" = "#FFFFFF" ] && break
        sleep 0.1
    done
    if shows_pictures; then fail "pictures shown where there are none"; fi
    click 120 509 # a crossing loads another picture, and says nothing more
    wait_exit
    said="cancelnotchosen.png not found in ./__png's/, $prefix/share/tenvarix-crypto/__png's/ or $TENVARIX_SOURCE/__png's/"
    [ "$(grep -cF "$said" "$E2E_TMP/program.log")" = 1 ] &&
        [ "$(grep -c 'not found in' "$E2E_TMP/program.log")" = 1 ] ||
        fail "expected once on stderr: $said; got: $(cat "$E2E_TMP/program.log")"
else
    echo "skipped the hidden pictures: no mount namespace or no $prefix/share"
fi
# Partner files have a type of their own, with a comment and the program's
# icon, that opens them with the program: in the staged prefix, with the
# staged launcher pointed at the staged program, a file manager's way in
# (gio open) lists the partner file in the window, and a key and keypad
# Enter decrypt it. xdg-mime asks gio under GNOME.
export XDG_DATA_DIRS="$root$prefix/share:/usr/share"
update-mime-database "$root$prefix/share/mime"
sed -i -e "s|^Exec=$prefix/|Exec=$root$prefix/|" "$desktop"
update-desktop-database "$root$prefix/share/applications"
work="$tmp/work"
mkdir "$work"
printf 'partner bytes\n' >"$work/report.pdftenvarixcrypto"
printf "other\\n" >"$work/report.pdfTENVARIXCRYPTO"
type=$(XDG_CURRENT_DESKTOP=GNOME xdg-mime query filetype "$work/report.pdftenvarixcrypto")
[ "$type" = application/x-tenvarix-crypto ] || fail "xdg-mime query filetype says '$type'"
[ "$(XDG_CURRENT_DESKTOP=GNOME xdg-mime query filetype "$work/report.pdfTENVARIXCRYPTO")" != "$type" ] ||
    fail "the type does not hold only the exact lowercase marker"
said=$(gio mime "$type" 2>&1)
grep -q "^Default application for .*$type.*: $app.desktop\$" <<<"$said" || fail "gio mime: $said"
/usr/bin/python3 - "$type" "$app" <<'PY' || fail "the type's comment or icon is wrong"
import sys
from gi.repository import Gio
assert Gio.content_type_get_description(sys.argv[1]) == "Tenvarix Crypto partner file"
assert sys.argv[2] in Gio.content_type_get_icon(sys.argv[1]).get_names()
PY
stop_app # the window found below must be the one gio opens
: >"$E2E_TMP/program.log"
# Opened from a home folder, as a desktop opens files, the program works
# there, so that a typed relative path is the user's, and shows its pictures.
mkdir "$tmp/home"
(cd "$tmp/home" && gio open "$work/report.pdftenvarixcrypto") >>"$E2E_TMP/program.log" 2>&1
for _ in $(seq 1 500); do
    APP_WID=$(xdotool search --onlyvisible --classname "^$app\$" 2>/dev/null | head -n 1 || true)
    [ -n "$APP_WID" ] && break
    sleep 0.02
done
[ -n "$APP_WID" ] || fail "gio open showed no window"
cwd=$(readlink "/proc/$(xdotool getwindowpid "$APP_WID")/cwd")
[ "$cwd" = "$tmp/home" ] || fail "the launcher started the program in '$cwd'"
xdotool mousemove 0 0 # off the buttons, which show their pictures at rest
wait_for_pictures || fail "the program opened by its launcher shows no pictures"
# Opened again while the window is open, partner files join its list: from
# the file manager's way in, and from a start in another folder with a
# relative name, which says there what names nothing and ends at once.
program="$root$prefix/bin/tenvarix-crypto"
running() { pgrep -c -f "^$program" || true; }
printf 'second partner\n' >"$work/notes.txttenvarixcrypto"
mkdir "$work/sub"
printf 'third partner\n' >"$work/third.txttenvarixcrypto"
gio open "$work/notes.txttenvarixcrypto" >>"$E2E_TMP/program.log" 2>&1
sleep 0.3
wait_for 10 test "$(running)" = 1 || fail "the second gio open left $(running) programs running"
status=0
said=$(cd "$work/sub" && timeout 20 "$program" ../third.txttenvarixcrypto missing 2>&1) || status=$?
[ "$status" = 0 ] || fail "a start beside the open window ended with $status: $said"
grep -q "names no file or folder: missing" <<<"$said" || fail "the later start said: $said"
windows=$(xdotool search --onlyvisible --classname "^$app\$" 2>/dev/null || true)
[ "$windows" = "$APP_WID" ] || fail "expected the one window $APP_WID, found: $windows"
key='abcdefghijkA1!'
click 250 91
xdotool type --delay 2 "$key"
xdotool key KP_Enter
for name in report.pdf notes.txt third.txt; do
    wait_for 30 test -s "$work/$name" || fail "the opened partner file $name was not decrypted"
    expect_xor "$work/${name}tenvarixcrypto" "$work/$name" "$key"
done
# The program is no child of this shell: its window's end is its end.
gone() { ! xdotool getwindowname "$APP_WID" >/dev/null 2>&1; }
wait_for 10 gone || fail "the window stayed open after the run"
echo "installed files, launcher directory, partner file type and one window are right"
