// SPDX-License-Identifier: GPL-3.0-or-later
#include "lookandfeel.h"

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

void TenvarixCryptoKeepLightLook(GtkWidget *widget)
{
    // The window paints its own grey and black lines: a dark theme would
    // put near-white texts and black fields on them. The toolkit's built-in
    // theme, light variant, ranks just above the desktop's theme (which the
    // toolkit loads with the settings' rank), so that every property it sets
    // wins over the desktop's while the window's own fonts and colours, set
    // above both, still hold. The toolkit keeps the provider for the life of
    // the process.
    GtkCssProvider *light = gtk_css_provider_get_named("Adwaita", nullptr);
    gtk_style_context_add_provider(gtk_widget_get_style_context(widget), GTK_STYLE_PROVIDER(light),
                                   GTK_STYLE_PROVIDER_PRIORITY_SETTINGS + 1);
    if (GTK_IS_CONTAINER(widget))
        gtk_container_forall(
            GTK_CONTAINER(widget),
            [](GtkWidget *child, gpointer) { TenvarixCryptoKeepLightLook(child); }, nullptr);
}
