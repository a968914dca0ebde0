// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up and the program's run from the first window to the end.
#pragma once

#include <string>
#include <vector>

// Start-up: the command line (--help, --version and errors end the program
// here), the program name, GTK, the hand-over to a window already open on
// the display (which also ends the program here), toolkit-wide settings,
// fonts, colours, numeric locale, the end signals and the handling of a lost
// display. Returns the files named on the command line.
std::vector<std::string> InitiateEnvironment(int argc, char **argv);

// Builds the window, takes the files of later starts on its display, lists
// the given files and runs the main loop until the end.
void TenvarixCrypto(const std::vector<std::string> &files = {});
