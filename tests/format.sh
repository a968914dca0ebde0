#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Every C++ source laid out as .clang-format says; prints how each one that
# is not would change. `make format` lays them out.
set -euo pipefail
cd "$1"
source tests/sources.sh
command -v clang-format >/dev/null || { echo "clang-format is not installed"; exit 77; }
# Another major version lays out some lines otherwise; the layout is that of
# Debian 12's clang-format 14.
version=$(clang-format --version | sed -n 's/.*version \([0-9]*\).*/\1/p')
[ "$version" = 14 ] || { echo "clang-format $version, not 14: not checked"; exit 77; }
status=0
while IFS= read -r -d '' file; do
    if ! clang-format --style=file "$file" | diff -u --label "$file" --label "$file (formatted)" "$file" -; then
        status=1
    fi
done < <(cxx_sources .cpp; cxx_sources .h)
[ "$status" = 0 ] || echo "FAIL: not laid out as .clang-format says; make format lays them out" >&2
exit "$status"
