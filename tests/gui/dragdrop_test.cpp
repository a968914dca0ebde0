// Files dropped onto the file list from a file manager.
#include <glib/gstdio.h>

#include <memory>
#include <string>

#include "gui_support.h"

// From <gdk/gdkx.h>, whose X11 macros clash with the test framework.
extern "C" GType gdk_x11_drag_context_get_type();

namespace {

struct SelectionDataFree {
    void operator()(GtkSelectionData *data) const { gtk_selection_data_free(data); }
};
using SelectionData = std::unique_ptr<GtkSelectionData, SelectionDataFree>;

// A selection as a drag source would deliver it, fetched through a private
// X selection that this process owns.
SelectionData selection_data(const char *target, const std::string &bytes)
{
    GtkClipboard *clipboard =
        gtk_clipboard_get(gdk_atom_intern_static_string("TENVARIX_DROP_TEST"));
    const GtkTargetEntry entry{const_cast<char *>(target), 0, 0};
    gtk_clipboard_set_with_data(
        clipboard, &entry, 1,
        +[](GtkClipboard *, GtkSelectionData *data, guint, gpointer p) {
            const auto *text = static_cast<const std::string *>(p);
            gtk_selection_data_set(data, gtk_selection_data_get_target(data), 8,
                                   reinterpret_cast<const guchar *>(text->data()),
                                   static_cast<int>(text->size()));
        },
        nullptr, const_cast<std::string *>(&bytes));
    SelectionData data(gtk_clipboard_wait_for_contents(clipboard, gdk_atom_intern(target, FALSE)));
    gtk_clipboard_clear(clipboard);
    return data;
}

// Delivers the data to the file list as the end of a drop does.
void drop_on_file_list(GtkSelectionData *data)
{
    // The display's own kind of drag context; its drop protocol is still unset.
    GObject *context = G_OBJECT(g_object_new(gdk_x11_drag_context_get_type(), nullptr));
    g_signal_emit_by_name(MEdit_TenvarixCryptoWindowFilePfad, "drag-data-received", context, 10,
                          10, data, 0u, guint(GDK_CURRENT_TIME));
    g_object_unref(context);
}

class FileDrop : public gui::WindowTest {};

} // namespace

// The list is UTF-8 text with one path a line, so names it cannot hold are
// left out along with the URIs of other machines and protocols.
TEST(FileListLinesFromUriList, local_files_become_decoded_paths_and_everything_else_is_left_out)
{
    const char *list = "# dragged from the file manager\r\n"
                       "file:///home/ann/two%20words.txt\r\n"
                       "http://example.org/remote.txt\r\n"
                       "file:///home/ann/caf%C3%A9.bin\r\n"
                       "file:///home/ann/latin1-caf%E9.bin\r\n"
                       "file://localhost/srv/data.bin\r\n"
                       "file://elsewhere.example/srv/data.bin\r\n"
                       "file:///home/ann/first%0A/etc/passwd\r\n"
                       "sftp://host/home/ann/x\r\n";
    EXPECT_EQ(TenvarixCryptoFileListLinesFromUriList(list),
              "/home/ann/two words.txt\n/home/ann/caf\xC3\xA9.bin\n/srv/data.bin\n");
}

TEST(FileListLinesFromUriList, a_list_without_local_files_yields_nothing)
{
    EXPECT_EQ(TenvarixCryptoFileListLinesFromUriList(""), "");
    EXPECT_EQ(TenvarixCryptoFileListLinesFromUriList("https://example.org/a\r\n"), "");
}

TEST_F(FileDrop, dropped_local_files_are_appended_to_the_end_of_the_list)
{
    std::unique_ptr<char, decltype(&g_free)> dir(g_dir_make_tmp("dropXXXXXX", nullptr), g_free);
    ASSERT_TRUE(dir);
    const std::string spaced = std::string(dir.get()) + "/two words.txt";
    const std::string accented = std::string(dir.get()) + "/caf\xC3\xA9.bin";
    ASSERT_TRUE(g_file_set_contents(spaced.c_str(), "a", 1, nullptr));
    ASSERT_TRUE(g_file_set_contents(accented.c_str(), "b", 1, nullptr));

    gtk_text_buffer_set_text(TenvarixCryptoWindowFilePfadBuffer, "/typed/before\n", -1);
    // Put the cursor at the start: the paths must still go to the end.
    GtkTextIter start;
    gtk_text_buffer_get_start_iter(TenvarixCryptoWindowFilePfadBuffer, &start);
    gtk_text_buffer_place_cursor(TenvarixCryptoWindowFilePfadBuffer, &start);

    SelectionData data = selection_data(
        "text/uri-list", "file://" + std::string(dir.get()) + "/two%20words.txt\r\n"
                         "http://example.org/remote.txt\r\n"
                         "file://" + std::string(dir.get()) + "/caf%C3%A9.bin\r\n");
    ASSERT_TRUE(data);
    drop_on_file_list(data.get());
    gui::drain();

    EXPECT_EQ(gui::file_list_text(), "/typed/before\n" + spaced + "\n" + accented + "\n");

    g_unlink(spaced.c_str());
    g_unlink(accented.c_str());
    g_rmdir(dir.get());
}

TEST_F(FileDrop, dropped_text_is_inserted_by_the_text_view_as_before)
{
    gtk_text_buffer_set_text(TenvarixCryptoWindowFilePfadBuffer, "", -1);
    SelectionData data = selection_data("UTF8_STRING", "/typed/by/hand");
    ASSERT_TRUE(data);
    drop_on_file_list(data.get());
    gui::drain();
    EXPECT_EQ(gui::file_list_text(), "/typed/by/hand");
}

namespace {

// A file-manager-like drag source in a window of its own: it offers the
// files as a URI list and as text, and lets the drop copy or move them.
struct FileManagerWindow {
    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    std::string uris;
    bool asked_to_delete = false;

    explicit FileManagerWindow(std::string uri_list) : uris(std::move(uri_list))
    {
        gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
        gtk_window_move(GTK_WINDOW(window), 700, 100);
        gtk_window_resize(GTK_WINDOW(window), 200, 100);
        GtkWidget *source = gtk_event_box_new();
        gtk_container_add(GTK_CONTAINER(window), source);
        const GtkTargetEntry targets[] = {{const_cast<char *>("text/uri-list"), 0, 0},
                                          {const_cast<char *>("UTF8_STRING"), 0, 1}};
        gtk_drag_source_set(source, GDK_BUTTON1_MASK, targets, 2,
                            GdkDragAction(GDK_ACTION_COPY | GDK_ACTION_MOVE));
        g_signal_connect(source, "drag-data-get", G_CALLBACK(+[](GtkWidget *, GdkDragContext *,
                                                                 GtkSelectionData *data, guint,
                                                                 guint, gpointer p) {
            const std::string &text = static_cast<FileManagerWindow *>(p)->uris;
            gtk_selection_data_set(data, gtk_selection_data_get_target(data), 8,
                                   reinterpret_cast<const guchar *>(text.data()),
                                   static_cast<int>(text.size()));
        }), this);
        g_signal_connect(source, "drag-data-delete", G_CALLBACK(+[](GtkWidget *, GdkDragContext *,
                                                                    gpointer p) {
            static_cast<FileManagerWindow *>(p)->asked_to_delete = true;
        }), this);
        gtk_widget_show_all(window);
    }
    ~FileManagerWindow() { gtk_widget_destroy(window); }
};

} // namespace

// The whole exchange over the X server: the pointer presses in the source
// window, drags onto the file list and lets go there.
TEST_F(FileDrop, files_dragged_from_a_file_manager_land_in_the_list_as_paths)
{
    FileManagerWindow files("file:///srv/share/two%20words.txt\r\n"
                            "file:///srv/share/caf%C3%A9.bin\r\n");
    ASSERT_TRUE(gui::wait_for_draw(files.window));
    gtk_text_buffer_set_text(TenvarixCryptoWindowFilePfadBuffer, "/typed/before\n", -1);

    // Later tests find the pointer where it was.
    GdkDevice *pointer =
        gdk_seat_get_pointer(gdk_display_get_default_seat(gdk_display_get_default()));
    GdkScreen *screen = nullptr;
    gint pointer_x = 0, pointer_y = 0;
    gdk_device_get_position(pointer, &screen, &pointer_x, &pointer_y);

    // The list lies at (150, 350) to (550, 560) on the screen.
    const char *argv[] = {"xdotool", "mousemove", "750", "150", "mousedown", "1", "sleep", "0.2",
                          "mousemove", "770", "170", "sleep", "0.2", "mousemove", "340", "440",
                          "sleep", "0.3", "mousemove", "350", "450", "sleep", "0.3", "mouseup",
                          "1", nullptr};
    GPid pid = 0;
    ASSERT_TRUE(g_spawn_async(nullptr, const_cast<char **>(argv), nullptr,
                              GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), nullptr,
                              nullptr, &pid, nullptr));
    bool pointer_done = false;
    g_child_watch_add(pid, +[](GPid child, gint, gpointer p) {
        g_spawn_close_pid(child);
        *static_cast<bool *>(p) = true;
    }, &pointer_done);

    const std::string expected =
        "/typed/before\n/srv/share/two words.txt\n/srv/share/caf\xC3\xA9.bin\n";
    gint64 deadline = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
    while ((!pointer_done || gui::file_list_text() != expected) &&
           g_get_monotonic_time() < deadline)
        g_main_context_iteration(nullptr, FALSE);

    gdk_device_warp(pointer, screen, pointer_x, pointer_y);
    EXPECT_TRUE(pointer_done);
    EXPECT_EQ(gui::file_list_text(), expected);
    EXPECT_FALSE(files.asked_to_delete);
}
