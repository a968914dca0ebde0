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
