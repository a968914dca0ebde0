#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The core's tests under ThreadSanitizer, in a build folder of their own
# beside the test build: tests/tsan.sh SOURCE_DIR BUILD_DIR. The build is
# kept, so that a second run compiles only what changed.
set -euo pipefail
source_dir=$1
build=$2/tsan
# A build of its own, not a job of the make that may have started ctest.
unset MAKEFLAGS MFLAGS MAKELEVEL
cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DTENVARIX_WERROR=ON \
      -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build "$build" --target core_tests -j "$(nproc)" >"$build/build.log" 2>&1 ||
    { cat "$build/build.log" >&2; echo "FAIL: the ThreadSanitizer build failed" >&2; exit 1; }
# A report fails the run; halt_on_error stops at the first.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" "$build/tests/core_tests"
