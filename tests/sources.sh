# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by format.sh and tidy.sh: the project's C++ sources under the
# current folder, NUL-separated, found by their folders so that a tarball
# without git is checked the same way.
cxx_sources() {
    find crypt shell tests bench "__png's" -type f \( -name "*$1" \) -print0 | sort -z
}
