// SPDX-License-Identifier: GPL-3.0-or-later
// One window per display: files opened while the program runs (the
// launcher, gio open, a file manager's Open With) join the window that is
// open on that display instead of opening a second one over it. The window
// is found through the session bus; without one, every start has its own
// window.
#pragma once

#include <string>
#include <vector>

// At start-up, once the display is open: when a window of the program is
// open on the same display, hands it the files named (relative names taken
// from this process's working folder) and the launcher's start-up id, and
// ends the program here with status 0. Otherwise this start claims the
// display for its own window, and `files` hold the same names, made absolute.
void TenvarixCryptoJoinOpenWindow(std::vector<std::string> &files, const char *startup_id);

// Once the window exists: the files of later starts on this display come to
// it, until it is destroyed.
void TenvarixCryptoServeLaterStarts();

// Lists absolute paths handed over by a later start: at once, or, while a
// run is under way, once it has ended (the run keeps to its own list).
void TenvarixCryptoListOpenedFiles(const std::vector<std::string> &paths);

// The file-list lines opened during the run that has just ended; empty when
// none were. Taken once: the next call returns them no more.
std::string TenvarixCryptoTakeFilesOpenedDuringRun();
