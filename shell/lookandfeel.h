// SPDX-License-Identifier: GPL-3.0-or-later
// The look of the whole program: toolkit-wide settings, fonts and colours.
#pragma once

// Sets the toolkit's font and font rendering and creates the fonts and
// colours that shell.h declares. Needs GTK initialised.
void TenvarixCryptoSetLookAndFeel();
