#include "shell.h"

#include <clocale>
#include <gdk/gdkx.h>
#include <unistd.h>

namespace {

// GDK's handler for a lost display connection; it ends the program.
XIOErrorHandler gdk_display_lost = nullptr;

// A lost display (a logout) ends the program at once: a named temporary
// file under way must go first.
int remove_temporary_file_then_end(Display *display)
{
    if (const char *temporary = EndWritingForExit())
        unlink(temporary);
    if (gdk_display_lost)
        return gdk_display_lost(display);
    _exit(1);
}

} // namespace

PangoFontDescription *fontlucidagranderegular12 = nullptr;
PangoFontDescription *fontlucidagranderegular14 = nullptr;
GdkRGBA WindowBackgroundColor;
GdkRGBA MessageColor;

void InitiateEnvironment(int argc, char **argv)
{
    gtk_init(&argc, &argv);
    TenvarixCryptoCatchEndSignals();
    if (GDK_IS_X11_DISPLAY(gdk_display_get_default()))
        gdk_display_lost = XSetIOErrorHandler(remove_temporary_file_then_end);

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
