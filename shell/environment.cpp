#include "shell.h"

#include <clocale>

PangoFontDescription *fontlucidagranderegular12 = nullptr;
PangoFontDescription *fontlucidagranderegular14 = nullptr;
GdkRGBA WindowBackgroundColor;
GdkRGBA MessageColor;

void InitiateEnvironment(int argc, char **argv)
{
    // The application id is the program name that GDK gives the window
    // (X11 WM_CLASS, Wayland app_id), so docks match it to its launcher.
    g_set_prgname(TENVARIX_APP_ID);
    gtk_init(&argc, &argv);
    gdk_set_program_class(TENVARIX_APP_ID);

    GtkSettings *settings = gtk_settings_get_default();
    g_object_set(settings, "gtk-font-name", "Segoe UI 9", nullptr);

    fontlucidagranderegular12 = pango_font_description_from_string("Segoe UI 10");
    fontlucidagranderegular14 = pango_font_description_from_string("Segoe UI 14");

    g_object_set(settings, "gtk-xft-antialias", 1, nullptr);
    g_object_set(settings, "gtk-xft-rgba", "rgb", nullptr);

    // gtk_init took the locale from the environment; numbers stay in "C".
    setlocale(LC_NUMERIC, "C");

    WindowBackgroundColor = GdkRGBA{210.0 / 255.0, 210.0 / 255.0, 210.0 / 255.0, 1.0};
    MessageColor = GdkRGBA{0.8, 0.0, 0.0, 1.0};
}
