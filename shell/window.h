// SPDX-License-Identifier: GPL-3.0-or-later
// The main window: its widgets built and placed as the layout says.
#pragma once

// Builds and shows the window (progress bar hidden) without running the
// main loop.
void TenvarixCryptoCreateWindow();
