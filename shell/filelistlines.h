// SPDX-License-Identifier: GPL-3.0-or-later
// Lines for the file list, made from what the user names: each a path and a
// newline, with the names that the list cannot hold left out.
#pragma once

#include <string>
#include <vector>

// The file-list lines for files named on the command line: each as an
// absolute path (relative ones taken from `folder`) and a newline. Names that
// name nothing, and names the list cannot hold, are left out with a line on
// stderr.
std::string TenvarixCryptoFileListLinesFromArguments(const std::vector<std::string> &files,
                                                     const char *folder);
