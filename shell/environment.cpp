// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gdk/gdkwayland.h>
#include <gdk/gdkx.h>
#include <memory>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wayland-client.h>

PangoFontDescription *fontlucidagranderegular12 = nullptr;
PangoFontDescription *fontlucidagranderegular14 = nullptr;
GdkRGBA WindowBackgroundColor;
GdkRGBA MessageColor;

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

// A lost display, on any backend, ends the writing as a logout does.
void catch_lost_display()
{
    GdkDisplay *display = gdk_display_get_default();
    g_signal_connect(display, "closed", G_CALLBACK(on_display_closed), nullptr);
    if (GDK_IS_X11_DISPLAY(display))
        gdk_display_lost = XSetIOErrorHandler(remove_temporary_file_then_end);
    if (GDK_IS_WAYLAND_DISPLAY(display))
        g_log_set_writer_func(remove_temporary_file_on_lost_wayland, nullptr, nullptr);
}

struct OptionContextFree {
    void operator()(GOptionContext *context) const { g_option_context_free(context); }
};
struct StrvFree {
    void operator()(char **strv) const { g_strfreev(strv); }
};

const char kSummary[] =
    "Encrypts and decrypts whole files with a key that you type. Type the key, list\n"
    "the files (FILE arguments, typed paths, Select File or dropped files) and press\n"
    "Crypt. Every file is read and its partner written beside it: a name that\n"
    "contains \"tenvarixcrypto\" loses its last 14 characters, any other name gets\n"
    "\"tenvarixcrypto\" appended.";

// After a command line that does not parse, its words that are no options
// are still the files to list.
std::vector<std::string> words_that_are_no_options(int argc, char **argv)
{
    std::vector<std::string> words;
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        if (!options_ended && std::strcmp(argv[i], "--") == 0)
            options_ended = true;
        else if (options_ended || argv[i][0] != '-')
            words.emplace_back(argv[i]);
    }
    return words;
}

// Reads the command line, GTK's own options included. --help and --version
// end the program here, before a display is needed; an unknown option or one
// that does not parse is ignored with a line on stderr.
std::vector<std::string> read_command_line(int &argc, char **&argv)
{
    gboolean show_version = FALSE;
    char **files = nullptr;
    const GOptionEntry entries[] = {
        {"version", 'V', 0, G_OPTION_ARG_NONE, &show_version, "Print the version and exit",
         nullptr},
        {G_OPTION_REMAINING, 0, 0, G_OPTION_ARG_FILENAME_ARRAY, &files, nullptr, nullptr},
        {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
    };
    std::unique_ptr<GOptionContext, OptionContextFree> context(
        g_option_context_new("[FILE...] - encrypt and decrypt files with a typed key"));
    g_option_context_set_summary(context.get(), kSummary);
    const std::string description =
        std::string("Each FILE starts in the file list as an absolute path, a folder as the\n"
                    "regular files under it (links left out). A FILE that names nothing and an\n"
                    "unknown option are ignored with a line on stderr. The listed files are\n"
                    "only read; each partner file is written beside its file.\n\n"
                    "The button pictures are read from ./__png's/ in the working folder, else from\n"
                    "  ") +
        TENVARIX_DATA_DIR "/__png's/\nand then from the source tree the program was built from,\n  " +
        TENVARIX_SOURCE_DIR "/__png's/\n\n"
        "Exit status: 0 when every listed file was written, or when no run was tried;\n"
        "1 when the last run stopped with a message or by Cancel or closing the window;\n"
        "128 + n when signal n stopped a run.\n";
    g_option_context_set_description(context.get(), description.c_str());
    g_option_context_add_main_entries(context.get(), entries, nullptr);
    // Without opening the display, so that --help and --version need none.
    g_option_context_add_group(context.get(), gtk_get_option_group(FALSE));

    g_option_context_set_ignore_unknown_options(context.get(), TRUE);

    GError *error = nullptr;
    if (!g_option_context_parse(context.get(), &argc, &argv, &error)) {
        std::fprintf(stderr, "tenvarix-crypto: ignored: %s\n", error->message);
        g_error_free(error);
        std::vector<std::string> words = words_that_are_no_options(argc, argv);
        argc = 1;
        return words;
    }
    std::unique_ptr<char *, StrvFree> owned(files);
    if (show_version) {
        std::printf("tenvarix-crypto %s\n", TENVARIX_VERSION);
        std::exit(0);
    }
    // What the parse left besides the program name are unknown options.
    for (int i = 1; i < argc; ++i)
        std::fprintf(stderr, "tenvarix-crypto: ignored unknown option %s\n", argv[i]);
    argc = 1;
    std::vector<std::string> names;
    for (char **f = files; f && *f; ++f)
        names.emplace_back(*f);
    return names;
}

} // namespace

std::string TenvarixCryptoFileListLinesFromArguments(const std::vector<std::string> &files,
                                                     const char *folder)
{
    std::string lines;
    for (const std::string &file : files) {
        std::unique_ptr<char, decltype(&g_free)> path(
            g_canonicalize_filename(file.c_str(), folder), g_free);
        struct stat st;
        if (stat(path.get(), &st) != 0) {
            std::unique_ptr<char, decltype(&g_free)> shown(g_strescape(file.c_str(), nullptr),
                                                           g_free);
            std::fprintf(stderr,
                         "tenvarix-crypto: left out of the file list, as it names no file "
                         "or folder: %s\n",
                         shown.get());
            continue;
        }
        if (!TenvarixCryptoFileListCanHold(path.get())) {
            TenvarixCryptoSayLeftOut(file.c_str());
            continue;
        }
        lines += path.get();
        lines += '\n';
    }
    return lines;
}

std::vector<std::string> InitiateEnvironment(int argc, char **argv)
{
    std::vector<std::string> files = read_command_line(argc, argv);
    // The application id is the program name that GDK gives the window
    // (X11 WM_CLASS, Wayland app_id), so docks match it to its launcher.
    g_set_prgname(TENVARIX_APP_ID);
    gtk_init(&argc, &argv);
    gdk_set_program_class(TENVARIX_APP_ID);
    TenvarixCryptoCatchEndSignals();
    catch_lost_display();

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
    return files;
}
