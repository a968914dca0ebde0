#!/bin/bash
# Installs the build into a scratch DESTDIR, checks where every file lands,
# and starts the installed program as its desktop launcher does: the
# window must show the installed pictures.
set -euo pipefail
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
workdir=$(sed -n 's/^Path=//p' "$desktop")
[ "$workdir" = "$prefix/share/tenvarix-crypto" ] || fail "Path= is '$workdir'"
[ "$(sed -n 's/^Exec=//p' "$desktop")" = "$prefix/bin/tenvarix-crypto" ] || fail "Exec= is wrong"
[ "$(sed -n 's/^Icon=//p' "$desktop")" = "$app" ] || fail "Icon= is wrong"

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

start_in "$root$workdir"
wait_for_pictures || fail "the launcher's working directory does not show the pictures"
stop_app

# The comparison tells the pictures from the missing-image placeholder.
start_in "$tmp"
for _ in $(seq 1 50); do
    # The file list's white inside shows that the window has been drawn.
    [ "$(/usr/bin/import -window root -crop 1x1+300+450 -depth 8 txt:- | grep -o '#[0-9A-F]\{6\}')" = "#FFFFFF" ] && break
    sleep 0.1
done
if shows_pictures; then fail "pictures found without a picture directory"; fi
stop_app
echo "installed files and launcher directory are right"
