// SPDX-License-Identifier: GPL-3.0-or-later
// The look of the whole program: toolkit-wide settings, fonts and colours.
#pragma once

#include <gtk/gtk.h>

// Sets the toolkit's font and font rendering and creates the fonts and
// colours that shell.h declares. Needs GTK initialised.
void TenvarixCryptoSetLookAndFeel();

// Gives the widget and every widget inside it, its internal ones included,
// the toolkit's own light look over whatever theme the desktop has, so that
// texts and fields keep their colours on a dark theme too.
void TenvarixCryptoKeepLightLook(GtkWidget *widget);

// Look and feel, created once at start-up and never released.
extern PangoFontDescription *fontlucidagranderegular12;
extern PangoFontDescription *fontlucidagranderegular14;
extern GdkRGBA WindowBackgroundColor;
extern GdkRGBA MessageColor;
