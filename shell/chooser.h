// SPDX-License-Identifier: GPL-3.0-or-later
// The file chooser behind Select File.
#pragma once

// Runs the modal file chooser; leaves its result in gFileName.
void doSetzenFileName();

// The chooser's result text (g_malloc'ed), or null; handed to the dispatcher.
extern char *gFileName;
