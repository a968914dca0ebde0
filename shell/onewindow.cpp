// SPDX-License-Identifier: GPL-3.0-or-later
// One window per display. The first start on a display owns a name on the
// session bus made from the display's name and serves an Open method there;
// a later start on that display calls it with its files and ends. Each
// display has a name of its own, so that a start on another display (or
// through another backend) still gets a window there.
#include "onewindow.h"

#include "fileappend.h"
#include "filelistlines.h"
#include "startup.h"
#include "window.h"
#include "windowrun.h"

#include <gdk/gdkwayland.h>
#include <gdk/gdkx.h>

#include <cstdlib>
#include <memory>

namespace {

constexpr char kObjectPath[] = "/io/github/tenvarix/TenvarixCrypto";
constexpr char kInterface[] = TENVARIX_APP_ID;
constexpr char kIntrospection[] = "<node><interface name='" TENVARIX_APP_ID "'>"
                                  "<method name='Open'>"
                                  "<arg type='as' name='paths' direction='in'/>"
                                  "<arg type='s' name='startup_id' direction='in'/>"
                                  "<arg type='b' name='listed' direction='out'/>"
                                  "</method></interface></node>";
// How long a start waits for the open window to take its files before it
// opens a window of its own.
constexpr int kHandOverTimeoutMs = 5000;
// Keys of the data kept on the display and on the window.
constexpr char kServiceKey[] = "tenvarix-crypto-one-window";
constexpr char kOpenedDuringRunKey[] = "tenvarix-crypto-opened-during-run";

// The bus name of the program's window on a display: the application id and
// the display's name, bytes other than ASCII letters and digits as _xx.
std::string bus_name_for(const char *display)
{
    std::string name = TENVARIX_APP_ID ".Display_";
    for (const char *c = display; *c; ++c) {
        if (g_ascii_isalnum(*c)) {
            name += *c;
        } else {
            char escaped[4];
            g_snprintf(escaped, sizeof escaped, "_%02x", unsigned(guchar(*c)));
            name += escaped;
        }
    }
    return name;
}

// The Open method on the bus, from this process's claim of the display to
// the end of its window. The display holds it.
struct Service {
    GDBusConnection *bus = nullptr;
    guint registration = 0;
    GtkWidget *window = nullptr; // set once the window exists; null again when it goes

    ~Service()
    {
        if (registration)
            g_dbus_connection_unregister_object(bus, registration);
        g_clear_object(&bus);
    }
};

void delete_service(gpointer service)
{
    std::unique_ptr<Service> owned(static_cast<Service *>(service));
}

// Shows the window in front, with the launcher's start-up id of the later
// start, so that the desktop lets it take the focus and ends the start-up
// notification of that launch.
void raise_window(GtkWidget *window, const char *startup_id)
{
    GdkDisplay *display = gtk_widget_get_display(window);
    if (*startup_id) {
        if (GDK_IS_X11_DISPLAY(display))
            gdk_x11_display_set_startup_notification_id(display, startup_id);
        if (GDK_IS_WAYLAND_DISPLAY(display))
            gdk_wayland_display_set_startup_notification_id(display, startup_id);
    }
    gtk_window_present(GTK_WINDOW(window));
    if (*startup_id)
        gdk_notify_startup_complete();
}

void open_method(GDBusConnection *, const char *, const char *, const char *, const char *,
                 GVariant *parameters, GDBusMethodInvocation *invocation, gpointer data)
{
    auto *service = static_cast<Service *>(data);
    // Before the window exists, or once it is gone, the caller makes its own.
    if (!service->window) {
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", FALSE));
        return;
    }
    g_autofree const char **paths = nullptr;
    const char *startup_id = nullptr;
    g_variant_get(parameters, "(^a&s&s)", &paths, &startup_id);
    std::vector<std::string> opened;
    for (const char **p = paths; *p; ++p)
        opened.emplace_back(*p);
    TenvarixCryptoListOpenedFiles(opened);
    raise_window(service->window, startup_id);
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", TRUE));
}

const GDBusInterfaceVTable kOpenVTable = {open_method, nullptr, nullptr, {}};

// Whether this process now owns the name. A name that another process owns
// is not queued for: that process's window is the one to use.
bool claim(GDBusConnection *bus, const std::string &name)
{
    constexpr guint32 kDoNotQueue = 4;
    constexpr guint32 kPrimaryOwner = 1, kAlreadyOwner = 4;
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", name.c_str(), kDoNotQueue), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    guint32 result = 0;
    if (reply)
        g_variant_get(reply, "(u)", &result);
    return result == kPrimaryOwner || result == kAlreadyOwner;
}

// Whether the window that owns the name took the files.
bool hand_over(GDBusConnection *bus, const std::string &name, const std::vector<std::string> &files,
               const char *startup_id)
{
    std::vector<const char *> paths;
    paths.reserve(files.size() + 1);
    for (const std::string &file : files)
        paths.push_back(file.c_str());
    paths.push_back(nullptr);
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        bus, name.c_str(), kObjectPath, kInterface, "Open",
        g_variant_new("(^ass)", paths.data(), startup_id), G_VARIANT_TYPE("(b)"),
        G_DBUS_CALL_FLAGS_NO_AUTO_START, kHandOverTimeoutMs, nullptr, nullptr);
    gboolean listed = FALSE;
    if (reply)
        g_variant_get(reply, "(b)", &listed);
    return listed;
}

// The named files as absolute paths, from this process's working folder;
// names that name nothing, or that the list cannot hold, are said here.
std::vector<std::string> absolute_files(const std::vector<std::string> &files)
{
    g_autofree char *folder = g_get_current_dir();
    const std::string lines = TenvarixCryptoFileListLinesFromArguments(files, folder);
    std::vector<std::string> paths;
    for (std::size_t begin = 0, end; begin < lines.size(); begin = end + 1) {
        end = lines.find('\n', begin);
        paths.push_back(lines.substr(begin, end - begin));
    }
    return paths;
}

void stop_serving(GtkWidget *, gpointer display)
{
    g_object_set_data(G_OBJECT(display), kServiceKey, nullptr);
}

} // namespace

void TenvarixCryptoJoinOpenWindow(std::vector<std::string> &files, const char *startup_id)
{
    GdkDisplay *display = gdk_display_get_default();
    g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!display || !bus)
        return; // no session bus: a window of its own, as every start had
    const std::string name = bus_name_for(gdk_display_get_name(display));
    g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
    if (!g_dbus_is_name(name.c_str()) || !node)
        return;
    auto service = std::make_unique<Service>();
    service->bus = G_DBUS_CONNECTION(g_object_ref(bus));
    // Registered before the name is claimed, so that no call finds the name
    // without the method; calls are answered from the main loop, which runs
    // once the window exists.
    service->registration = g_dbus_connection_register_object(
        bus, kObjectPath, node->interfaces[0], &kOpenVTable, service.get(), nullptr, nullptr);
    if (!service->registration)
        return;
    const std::string id = startup_id && g_utf8_validate(startup_id, -1, nullptr) ? startup_id : "";
    bool made_absolute = false;
    // A window that is closing refuses the files, or is gone before it
    // answers: its name is then free soon after.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (claim(bus, name)) {
            g_object_set_data_full(G_OBJECT(display), kServiceKey, service.release(),
                                   delete_service);
            return;
        }
        if (!made_absolute) {
            files = absolute_files(files);
            made_absolute = true;
        }
        if (hand_over(bus, name, files, id.c_str()))
            std::exit(0);
        g_usleep(100 * 1000);
    }
}

void TenvarixCryptoServeLaterStarts()
{
    GdkDisplay *display = gtk_widget_get_display(TenvarixCryptoWindow);
    auto *service = static_cast<Service *>(g_object_get_data(G_OBJECT(display), kServiceKey));
    if (!service)
        return;
    service->window = TenvarixCryptoWindow;
    g_signal_connect(TenvarixCryptoWindow, "destroy", G_CALLBACK(stop_serving), display);
}

void TenvarixCryptoListOpenedFiles(const std::vector<std::string> &paths)
{
    std::string lines;
    for (const std::string &path : paths) {
        // A later start sends its names made absolute; anything else is no file of it.
        if (!g_path_is_absolute(path.c_str()))
            continue;
        if (!TenvarixCryptoFileListCanHold(path.c_str())) {
            TenvarixCryptoSayLeftOut(path.c_str());
            continue;
        }
        lines += path + '\n';
    }
    if (lines.empty())
        return;
    if (!grunningcrypt) {
        TenvarixCryptoAppendFilesToFileList(lines.c_str());
        return;
    }
    GObject *window = G_OBJECT(TenvarixCryptoWindow);
    const char *earlier = static_cast<const char *>(g_object_get_data(window, kOpenedDuringRunKey));
    g_object_set_data_full(window, kOpenedDuringRunKey,
                           g_strconcat(earlier ? earlier : "", lines.c_str(), nullptr), g_free);
}

std::string TenvarixCryptoTakeFilesOpenedDuringRun()
{
    g_autofree char *opened = static_cast<char *>(
        g_object_steal_data(G_OBJECT(TenvarixCryptoWindow), kOpenedDuringRunKey));
    return opened ? opened : "";
}
