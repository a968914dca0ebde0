#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# A folder of many files given to the real program (make bench-folders),
# under the private X server of tests/xvfb-run.sh: prints how long the list
# took to fill, how alive the window was meanwhile, and how it scrolls, types
# and runs afterwards. TVX_FOLDER_FILES sets the number of files (100,000),
# TVX_FOLDER_RUN=0 leaves out the run over them.
set -euo pipefail
program=$(realpath "$1")
source_dir=$(cd "$(dirname "$0")/.." && pwd)
files=${TVX_FOLDER_FILES:-100000}
# tmpfs, so that the run measures the program rather than the disk.
tree=$(mktemp -d /dev/shm/tvx-folders-XXXXXX)
trap 'rm -rf "$tree"' EXIT
trap 'exit 130' INT TERM
/usr/bin/python3 - "$tree/folder" "$files" <<'PY'
import os, sys
top, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    folder = os.path.join(top, "part-%03d" % (i // 1000))
    if i % 1000 == 0:
        os.makedirs(folder)
    os.close(os.open(os.path.join(folder, "file-%06d.txt" % i), os.O_CREAT | os.O_WRONLY, 0o644))
PY
/usr/bin/python3 "$source_dir/bench/folders.py" "$program" "$source_dir" "$tree/folder" "$files"
