#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The checks of .clang-tidy over every C++ source, with the compile commands
# of the build folder given: tests/tidy.sh SOURCE_DIR BUILD_DIR.
set -euo pipefail
build=$(cd "$2" && pwd)
cd "$1"
source tests/sources.sh
command -v clang-tidy >/dev/null || { echo "clang-tidy is not installed"; exit 77; }
[ -f "$build/compile_commands.json" ] || { echo "no compile_commands.json in $build"; exit 77; }
# One clang-tidy per file, as many at once as there are cores; a finding
# fails its file (WarningsAsErrors), and xargs then fails.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
cxx_sources .cpp | xargs -0 -r -n 1 -P "$(nproc)" clang-tidy -p "$build" --quiet >"$log" 2>&1 || status=1
grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' "$log" || true
[ "$status" = 0 ] || echo "FAIL: clang-tidy found faults (above)" >&2
exit "$status"
