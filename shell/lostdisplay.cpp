// SPDX-License-Identifier: GPL-3.0-or-later
#include "lostdisplay.h"

#include "windowrun.h"

#include "crypt/crypt.h"

#include <gdk/gdkwayland.h>
#include <gdk/gdkx.h>
#include <poll.h>
#include <unistd.h>
#include <wayland-client.h>

namespace {

// GDK's handler for a lost display connection; it ends the program.
XIOErrorHandler gdk_display_lost = nullptr;

// A lost display (a logout) ends the program at once: the files shown done
// take their names and a named temporary file under way goes first.
void end_writing_for_lost_display()
{
    TenvarixCryptoKeepDoneFiles();
    EndWritingForExit();
}

int remove_temporary_file_then_end(Display *display)
{
    end_writing_for_lost_display();
    if (gdk_display_lost)
        return gdk_display_lost(display);
    _exit(1);
}

void on_display_closed(GdkDisplay *, gboolean is_error, gpointer)
{
    if (is_error)
        end_writing_for_lost_display();
}

// Whether the Wayland connection has failed or the compositor has hung up.
bool wayland_connection_lost(GdkDisplay *display)
{
    wl_display *connection = gdk_wayland_display_get_wl_display(display);
    if (wl_display_get_error(connection) != 0)
        return true;
    pollfd fd{wl_display_get_fd(connection), 0, 0};
    return poll(&fd, 1, 0) > 0 && (fd.revents & (POLLHUP | POLLERR));
}

// GDK on Wayland ends the program right after a message of its own when the
// compositor goes away (no "closed" signal): the temporary file goes first.
GLogWriterOutput remove_temporary_file_on_lost_wayland(GLogLevelFlags level,
                                                       const GLogField *fields, gsize count,
                                                       gpointer)
{
    GdkDisplay *display = gdk_display_get_default();
    if (display && GDK_IS_WAYLAND_DISPLAY(display)) {
        for (gsize i = 0; i < count; ++i) {
            if (g_strcmp0(fields[i].key, "GLIB_DOMAIN") == 0 && fields[i].length < 0 &&
                g_strcmp0(static_cast<const char *>(fields[i].value), "Gdk") == 0) {
                if (wayland_connection_lost(display))
                    end_writing_for_lost_display();
                break;
            }
        }
    }
    return g_log_writer_default(level, fields, count, nullptr);
}

} // namespace

void TenvarixCryptoCatchLostDisplay()
{
    GdkDisplay *display = gdk_display_get_default();
    g_signal_connect(display, "closed", G_CALLBACK(on_display_closed), nullptr);
    if (GDK_IS_X11_DISPLAY(display))
        gdk_display_lost = XSetIOErrorHandler(remove_temporary_file_then_end);
    if (GDK_IS_WAYLAND_DISPLAY(display))
        g_log_set_writer_func(remove_temporary_file_on_lost_wayland, nullptr, nullptr);
}
