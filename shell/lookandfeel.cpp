// SPDX-License-Identifier: GPL-3.0-or-later
#include "lookandfeel.h"

#include "shell.h"

PangoFontDescription *fontlucidagranderegular12 = nullptr;
PangoFontDescription *fontlucidagranderegular14 = nullptr;
GdkRGBA WindowBackgroundColor;
GdkRGBA MessageColor;

void TenvarixCryptoSetLookAndFeel()
{
    GtkSettings *settings = gtk_settings_get_default();
    g_object_set(settings, "gtk-font-name", "Segoe UI 9", nullptr);

    fontlucidagranderegular12 = pango_font_description_from_string("Segoe UI 10");
    fontlucidagranderegular14 = pango_font_description_from_string("Segoe UI 14");

    g_object_set(settings, "gtk-xft-antialias", 1, nullptr);
    g_object_set(settings, "gtk-xft-rgba", "rgb", nullptr);

    WindowBackgroundColor = GdkRGBA{210.0 / 255.0, 210.0 / 255.0, 210.0 / 255.0, 1.0};
    MessageColor = GdkRGBA{0.8, 0.0, 0.0, 1.0};
}
