// SPDX-License-Identifier: GPL-3.0-or-later
// The command line: --help, --version, GTK's own options and the files.
#pragma once

#include <string>
#include <vector>

// Reads the command line, GTK's own options included, and leaves only the
// program name in it. --help and --version end the program here, before a
// display is needed; an unknown option or one that does not parse is ignored
// with a line on stderr. Returns the files named.
std::vector<std::string> TenvarixCryptoReadCommandLine(int &argc, char **&argv);
