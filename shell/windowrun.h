// SPDX-License-Identifier: GPL-3.0-or-later
// The crypt run as the window drives and shows it.
#pragma once

#include <cstddef>
#include <glib.h>

#include "crypt/crypt.h"

// Asks the run under way to stop (Cancel, closing the window, end signals).
void TenvarixCryptoStopRun();
// For an end of the program that cannot wait for the run (a lost display):
// stops the run under way, waits until every file it reported done has its
// name, and ends its worker (joined, or let go of when its disk holds it up).
void TenvarixCryptoKeepDoneFiles();
// How the next runs read their inputs: for tests that need a slow input.
void TenvarixCryptoSetRunOptions(TransformOptions options);
// How long a stopped run's worker is waited for before it is let go of, which
// ends all writing in the process: for a test process that goes on after it.
void TenvarixCryptoSetLetGoAfter(gint64 microseconds);

// The crypt action: 0 when every listed file was transformed, 1 when the run
// stopped (with a message in the message line, or on a cancel request). The
// files are worked on by the run's worker; meanwhile this runs the main loop.
// After a message the bar names the path that stopped the run and its line in
// the file list is selected and scrolled into view.
int doTenvarixCrypto();

// Shows one progress step of the path at index `file` of a run over `files`
// paths on the progress bar, as the per-byte loop would set it; with more
// than one path the bar's text says which is under way ("2 of 5").
void doCryptFile(const ProgressStep &step, std::size_t file, std::size_t files);

// Progress milestones of the file under way; cleared before every path.
extern int gprozentflag10, gprozentflag20, gprozentflag30, gprozentflag40, gprozentflag50,
    gprozentflag60, gprozentflag70, gprozentflag80, gprozentflag90;
extern int grefreshprogressbar;

// 1 while doTenvarixCrypto works; gcancelcrypt is 1 once the run under way
// was asked to stop.
extern int grunningcrypt;
extern int gcancelcrypt;
