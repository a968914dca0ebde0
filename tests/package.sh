#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# `make package` in a scratch build directory: the .deb holds exactly the
# installed files under /usr and depends on the GTK runtime.
set -euo pipefail
source_dir=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# A make of its own, not a job of the make that may have started ctest.
env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL make -s -C "$source_dir" package PACKAGE_DIR="$tmp/pkg" \
    >"$tmp/make.log" 2>&1 || { cat "$tmp/make.log" >&2; fail "make package failed"; }

debs=("$tmp"/pkg/*.deb)
[ "${#debs[@]}" = 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb, found: ${debs[*]}"
deb=${debs[0]}

expected=$(sed 's|^|./usr/|' "$source_dir/tests/installed-files.txt" | sort)
# Regular files are the lines of the listing that start with '-'.
actual=$(dpkg-deb -c "$deb" | sed -nE 's/^-([^ ]+ +){5}//p' | sort)
[ "$actual" = "$expected" ] || fail "package contents differ:
$(diff <(echo "$expected") <(echo "$actual"))"

depends=$(dpkg-deb -f "$deb" Depends)
grep -Eq '(^|, )libgtk-3-0( |,|$)' <<<"$depends" || fail "Depends lacks libgtk-3-0: $depends"
[ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "no Maintainer"
[ "$(dpkg-deb -f "$deb" Package)" = tenvarix-crypto ] || fail "wrong package name"

mkdir "$tmp/root"
dpkg-deb -x "$deb" "$tmp/root"
! grep -q '^Path=' "$tmp/root/usr/share/applications/io.github.tenvarix.TenvarixCrypto.desktop" ||
    fail "the packaged launcher sets a working directory of its own"
[ -f "$tmp/root/usr/share/doc/tenvarix-crypto/copyright" ] || fail "no copyright file"
# Debian's own checks: no errors (warnings are printed).
if command -v lintian >/dev/null; then
    lintian --fail-on error --suppress-tags-from-file /dev/null "$deb" >"$tmp/lintian.log" 2>&1 ||
        { cat "$tmp/lintian.log" >&2; fail "lintian found errors"; }
    cat "$tmp/lintian.log"
fi
echo "package $(basename "$deb") is complete"
