// SPDX-License-Identifier: GPL-3.0-or-later
// Files and text dropped onto the file list, through real drags over the X
// server from a second window.
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <vector>

#include "files.h"
#include "gui_support.h"

// The list is UTF-8 text with one path a line, so names it cannot hold are
// left out along with the URIs of other machines and protocols. Host names
// are compared without regard to case.
TEST(FileListLinesFromUriList, local_files_become_decoded_paths_and_everything_else_is_left_out)
{
    g_autofree char *this_host = g_ascii_strup(g_get_host_name(), -1);
    const char *list = "# dragged from the file manager\r\n"
                       "file:///home/ann/two%20words.txt\r\n"
                       "http://example.org/remote.txt\r\n"
                       "file:///home/ann/caf%C3%A9.bin\r\n"
                       "file:///home/ann/latin1-caf%E9.bin\r\n"
                       "file://localhost/srv/data.bin\r\n"
                       "file://elsewhere.example/srv/data.bin\r\n"
                       "file:///home/ann/first%0A/etc/passwd\r\n"
                       "sftp://host/home/ann/x\r\n"
                       "file://LOCALHOST/srv/upper.bin\r\n";
    EXPECT_EQ(
        TenvarixCryptoFileListLinesFromUriList(list),
        "/home/ann/two words.txt\n/home/ann/caf\xC3\xA9.bin\n/srv/data.bin\n/srv/upper.bin\n");
    EXPECT_EQ(TenvarixCryptoFileListLinesFromUriList(
                  (std::string("file://") + this_host + "/srv/mine.bin\r\n").c_str()),
              "/srv/mine.bin\n");
    EXPECT_EQ(TenvarixCryptoFileListLinesFromUriList("https://example.org/a\r\n"), "");
}

namespace {

// A drag source in a window of its own at (700, 100), offering the given
// data under each of the given types and letting the drop copy or move it.
struct SourceWindow {
    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    std::string data;
    bool asked_to_delete = false;

    SourceWindow(std::vector<GtkTargetEntry> targets, std::string offered)
        : data(std::move(offered))
    {
        gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
        gtk_window_move(GTK_WINDOW(window), 700, 100);
        gtk_window_resize(GTK_WINDOW(window), 200, 100);
        GtkWidget *source = gtk_event_box_new();
        gtk_container_add(GTK_CONTAINER(window), source);
        gtk_drag_source_set(source, GDK_BUTTON1_MASK, targets.data(), int(targets.size()),
                            GdkDragAction(GDK_ACTION_COPY | GDK_ACTION_MOVE));
        g_signal_connect(source, "drag-data-get",
                         G_CALLBACK(+[](GtkWidget *, GdkDragContext *, GtkSelectionData *selection,
                                        guint, guint, gpointer p) {
                             const std::string &text = static_cast<SourceWindow *>(p)->data;
                             gtk_selection_data_set(
                                 selection, gtk_selection_data_get_target(selection), 8,
                                 reinterpret_cast<const guchar *>(text.data()), int(text.size()));
                         }),
                         this);
        g_signal_connect(source, "drag-data-delete",
                         G_CALLBACK(+[](GtkWidget *, GdkDragContext *, gpointer p) {
                             static_cast<SourceWindow *>(p)->asked_to_delete = true;
                         }),
                         this);
        gtk_widget_show_all(window);
    }
    ~SourceWindow() { gtk_widget_destroy(window); }
};

GtkTargetEntry target(const char *type)
{
    return GtkTargetEntry{const_cast<char *>(type), 0, 0};
}

// Presses in the source window, drags onto the file list, which lies at
// (150, 350) to (550, 560) on the screen, and lets go there; returns once
// the file list reads `expected` or after a time limit. The pointer ends
// where it started, for the tests that follow.
void drag_onto_file_list(const std::string &expected)
{
    GdkDevice *pointer =
        gdk_seat_get_pointer(gdk_display_get_default_seat(gdk_display_get_default()));
    GdkScreen *screen = nullptr;
    gint pointer_x = 0, pointer_y = 0;
    gdk_device_get_position(pointer, &screen, &pointer_x, &pointer_y);

    const char *argv[] = {"xdotool", "mousemove", "750",     "150", "mousedown", "1",   "sleep",
                          "0.2",     "mousemove", "770",     "170", "sleep",     "0.2", "mousemove",
                          "340",     "440",       "sleep",   "0.3", "mousemove", "350", "450",
                          "sleep",   "0.3",       "mouseup", "1",   nullptr};
    GPid pid = 0;
    ASSERT_TRUE(g_spawn_async(nullptr, const_cast<char **>(argv), nullptr,
                              GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), nullptr,
                              nullptr, &pid, nullptr));
    bool pointer_done = false;
    g_child_watch_add(
        pid,
        +[](GPid child, gint, gpointer p) {
            g_spawn_close_pid(child);
            *static_cast<bool *>(p) = true;
        },
        &pointer_done);
    gint64 deadline = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
    while ((!pointer_done || gui::file_list_text() != expected) &&
           g_get_monotonic_time() < deadline)
        g_main_context_iteration(nullptr, FALSE);

    gdk_device_warp(pointer, screen, pointer_x, pointer_y);
    EXPECT_TRUE(pointer_done);
}

class FileDrop : public gui::WindowTest {};

// A folder tree with everything a folder may hold: nested folders, a hidden
// file, a file and its partner, links to a file and to a folder, a FIFO, a
// device, an empty and an unreadable folder, a name that is not UTF-8.
struct FolderTree {
    testfiles::ScratchDir scratch;
    std::string top = scratch.path("tree");
    bool locked_readable = false;

    FolderTree()
    {
        for (const char *folder : {"", "/sub", "/sub/deeper", "/empty", "/locked"})
            mkdir((top + folder).c_str(), 0755);
        for (const char *file : {"/a.txt", "/a.txttenvarixcrypto", "/.hidden", "/sub/b.bin",
                                 "/sub/deeper/c", "/locked/x", "/z.txt", "/caf\xE9"})
            testfiles::write_file(top + file, "bytes\n");
        symlink("a.txt", (top + "/link").c_str());
        symlink("sub", (top + "/linkdir").c_str());
        mkfifo((top + "/pipe").c_str(), 0644);
        mknod((top + "/device").c_str(), S_IFCHR | 0644, makedev(1, 3)); // root only
        chmod((top + "/locked").c_str(), 0);
        // Root reads it all the same.
        locked_readable = access((top + "/locked").c_str(), R_OK | X_OK) == 0;
    }

    // The file-list lines the tree becomes, in byte order.
    std::string lines() const
    {
        std::string locked = locked_readable ? top + "/locked/x\n" : top + "/locked\n";
        return top + "/.hidden\n" + top + "/a.txt\n" + top + "/a.txttenvarixcrypto\n" + locked +
               top + "/sub/b.bin\n" + top + "/sub/deeper/c\n" + top + "/z.txt\n";
    }
};

} // namespace

// Every line that names a folder becomes the regular files under it, other
// lines stay; the folder's own name may end in a slash or be a link.
TEST(FileListLinesWithFolderFiles, folders_become_their_regular_files_in_byte_order)
{
    FolderTree tree;
    EXPECT_EQ(TenvarixCryptoFileListLinesWithFolderFiles("/no/such\n" + tree.top + "/\n\n" +
                                                         tree.top + "/z.txt\n"),
              "/no/such\n" + tree.lines() + "\n" + tree.top + "/z.txt\n");
    EXPECT_EQ(
        TenvarixCryptoFileListLinesWithFolderFiles(tree.top + "/linkdir\n" + tree.top + "/empty\n"),
        tree.top + "/linkdir/b.bin\n" + tree.top + "/linkdir/deeper/c\n");
}

// After a last line typed without Return, the dropped paths start a new line.
TEST_F(FileDrop, files_from_a_file_manager_are_appended_as_paths_and_never_deleted)
{
    SourceWindow files({target("text/uri-list"), target("UTF8_STRING")},
                       "file:///srv/share/two%20words.txt\r\n"
                       "http://example.org/remote.txt\r\n"
                       "file:///srv/share/caf%C3%A9.bin\r\n");
    ASSERT_TRUE(gui::wait_for_draw(files.window));
    gtk_text_buffer_set_text(TenvarixCryptoWindowFilePfadBuffer, "/typed/before", -1);

    const std::string expected =
        "/typed/before\n/srv/share/two words.txt\n/srv/share/caf\xC3\xA9.bin\n";
    drag_onto_file_list(expected);
    EXPECT_EQ(gui::file_list_text(), expected);
    EXPECT_FALSE(files.asked_to_delete);
}

TEST_F(FileDrop, dropped_text_is_inserted_by_the_text_view_as_before)
{
    SourceWindow text({target("UTF8_STRING")}, "/typed/by/hand");
    ASSERT_TRUE(gui::wait_for_draw(text.window));
    gtk_text_buffer_set_text(TenvarixCryptoWindowFilePfadBuffer, "", -1);

    drag_onto_file_list("/typed/by/hand");
    EXPECT_EQ(gui::file_list_text(), "/typed/by/hand");
}

// A dropped folder is listed off the main thread, and a chosen file waits
// behind its files. Crypt and keypad Enter pressed meanwhile start one run
// once the list is complete, over every file in it.
TEST_F(FileDrop, a_dropped_folder_becomes_its_files_and_crypt_waits_for_them)
{
    FolderTree tree;
    SourceWindow files({target("text/uri-list")},
                       "file://" + tree.top + "\r\nfile:///srv/share/after.txt\r\n");
    ASSERT_TRUE(gui::wait_for_draw(files.window));
    gtk_text_buffer_set_text(TenvarixCryptoWindowFilePfadBuffer, "", -1);
    const std::string expected = tree.lines() + "/srv/share/after.txt\n";
    drag_onto_file_list(expected);
    EXPECT_EQ(gui::file_list_text(), expected);

    testfiles::ScratchDir scratch;
    const std::string folder = scratch.path("many");
    std::vector<std::string> inputs{scratch.path("chosen")};
    g_mkdir_with_parents((folder + "/sub").c_str(), 0755);
    for (int i = 0; i < 300; ++i)
        inputs.push_back(folder + (i % 2 ? "/sub/f" : "/f") + std::to_string(i));
    for (std::size_t i = 0; i < inputs.size(); ++i)
        testfiles::write_file(inputs[i], testfiles::random_bytes(100 + i, unsigned(i)));

    gtk_text_buffer_set_text(TenvarixCryptoWindowFilePfadBuffer, "", -1);
    gtk_entry_set_text(GTK_ENTRY(LEdit_TenvarixCryptoWindowKey), testfiles::kKey.c_str());
    TenvarixCryptoAppendFilesToFileList((folder + "\n").c_str());
    ASSERT_TRUE(TenvarixCryptoFileListIsFilling());
    TenvarixCryptoAppendToFileList((inputs[0] + "\n").c_str());
    TenvarixCryptoDoIt(PBut_TenvarixCryptoWindowCrypt, nullptr, nullptr);
    gui::press_key(TenvarixCryptoWindow, GDK_KEY_KP_Enter);
    EXPECT_TRUE(window_alive());
    EXPECT_EQ(gui::message_text(), "");
    EXPECT_FALSE(testfiles::exists(inputs[0] + "tenvarixcrypto"));
    // The listing ends in the main loop, and the run then.
    EXPECT_TRUE(gui::run_in_main_loop([] {}));
    // The complete run closed the window.
    EXPECT_FALSE(window_alive());
    EXPECT_EQ(TenvarixCryptoExitStatus(), 0);
    for (std::size_t i = 0; i < inputs.size(); ++i)
        ASSERT_EQ(
            testfiles::read_file(inputs[i] + "tenvarixcrypto"),
            testfiles::xor_with(testfiles::random_bytes(100 + i, unsigned(i)), testfiles::kKey))
            << inputs[i];
    EXPECT_EQ(testfiles::entries(scratch.dir()),
              (std::vector<std::string>{"chosen", "chosentenvarixcrypto", "many"}));
}
