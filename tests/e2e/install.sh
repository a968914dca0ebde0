#!/bin/bash
# Installs the build into a scratch DESTDIR, checks where every file lands,
# and starts the installed program as its desktop launcher does: the
# window must show the installed pictures. Started elsewhere it shows them
# too, from the installed data folder or the source tree, and when neither
# has them stderr says where it looked.
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
[ "$(sed -n 's/^Exec=//p' "$desktop")" = "$prefix/bin/tenvarix-crypto %F" ] || fail "Exec= is wrong"
[ "$(sed -n 's/^Icon=//p' "$desktop")" = "$app" ] || fail "Icon= is wrong"
[ "$(sed -n 's/^StartupWMClass=//p' "$desktop")" = "$app" ] || fail "StartupWMClass= is wrong"
! grep -q '^MimeType=' "$desktop" || fail "the launcher claims MIME types"

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

# From any other folder the pictures come from the source tree here, as the
# installed data folder is only staged.
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
    hidden "$root$workdir/__png's" "$root$prefix/bin/tenvarix-crypto"
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
echo "installed files and launcher directory are right"
