#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes sure the Debian packages that the Makefile lists are installed:
# `run` for building and running (RUN_PACKAGES), `test` for that and the test
# tools (TEST_PACKAGES as well). As root the missing ones are installed with
# apt-get; otherwise the one command to run is printed and the script fails.
# Runs on a bare Debian 12 (minbase): POSIX sh, awk and dpkg-query only.
set -e
cd "$(dirname "$0")/.."

# The words of one `NAME := …` list of the Makefile, continuation lines included.
makefile_list() {
    awk -v name="$1" '
        $1 == name && $2 == ":=" { on = 1; $1 = ""; $2 = "" }
        on { line = $0; sub(/\\$/, "", line); printf "%s ", line; if ($0 !~ /\\$/) on = 0 }
    ' Makefile
}

case "$1" in
run) wanted=$(makefile_list RUN_PACKAGES) ;;
test) wanted="$(makefile_list RUN_PACKAGES) $(makefile_list TEST_PACKAGES)" ;;
*) echo "usage: $0 run|test" >&2; exit 2 ;;
esac

missing=
for p in $wanted; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed' ||
        missing="$missing $p"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" = 0 ]; then
    echo "Installing Debian packages:$missing"
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
else
    echo "Missing Debian packages. Install them with:" >&2
    echo "sudo apt-get install -y --no-install-recommends$missing"
    exit 1
fi
