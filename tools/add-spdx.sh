#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Puts the licence's SPDX line at the top of every source file that lacks it
# (after a #! line), in the file's own comment form; running it again changes
# nothing. With --check it changes nothing and lists the files that lack the
# line, failing when there are any. Files may be named; by default every
# tracked source file of the repository.
set -euo pipefail
cd "$(dirname "$0")/.."
line_text="SPDX-License-Identifier: GPL-3.0-or-later"
check=0
if [ "${1:-}" = --check ]; then check=1; shift; fi

# The comment form of a file's line, or nothing for a file that is no source.
comment_for() {
    case "$1" in
    *.cpp | *.h) echo "// $line_text" ;;
    *.sh | *.bash | *.py | CMakeLists.txt | */CMakeLists.txt | Makefile | run | run-tests | .ci/run)
        echo "# $line_text" ;;
    esac
}

if [ $# -eq 0 ]; then
    mapfile -t files < <(git ls-files)
else
    files=("$@")
fi
missing=()
for f in "${files[@]}"; do
    comment=$(comment_for "$f")
    [ -n "$comment" ] && [ -f "$f" ] || continue
    head -n 2 "$f" | grep -qxF "$comment" && continue
    missing+=("$f")
    [ "$check" = 1 ] && continue
    if head -n 1 "$f" | grep -q '^#!'; then
        { head -n 1 "$f"; echo "$comment"; tail -n +2 "$f"; } >"$f.spdx"
    else
        { echo "$comment"; cat "$f"; } >"$f.spdx"
    fi
    chmod --reference="$f" "$f.spdx"
    mv "$f.spdx" "$f"
done
if [ "$check" = 1 ]; then
    [ ${#missing[@]} -eq 0 ] && exit 0
    printf 'no SPDX line: %s\n' "${missing[@]}" >&2
    exit 1
fi
[ ${#missing[@]} -eq 0 ] || printf 'SPDX line added: %s\n' "${missing[@]}"
