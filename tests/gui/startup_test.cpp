// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up: the toolkit's look, the files named on the command line, the pictures.
#include "files.h"
#include "gui_support.h"

#include <algorithm>
#include <clocale>
#include <unistd.h>
#include <utility>

TEST(StartUp, sets_the_toolkit_look_and_keeps_numbers_in_the_c_locale)
{
    g_autofree gchar *font = nullptr;
    g_autofree gchar *rgba = nullptr;
    gint antialias = 0;
    g_object_get(gtk_settings_get_default(), "gtk-font-name", &font, "gtk-xft-antialias",
                 &antialias, "gtk-xft-rgba", &rgba, nullptr);
    EXPECT_STREQ(font, "Segoe UI 9");
    EXPECT_STREQ(rgba, "rgb");
    EXPECT_EQ(antialias, 1);

    EXPECT_STREQ(setlocale(LC_NUMERIC, nullptr), "C");
    EXPECT_EQ(std::to_string(0.5), "0.500000");

    EXPECT_DOUBLE_EQ(WindowBackgroundColor.red, 210.0 / 255.0);
    EXPECT_DOUBLE_EQ(WindowBackgroundColor.green, 210.0 / 255.0);
    EXPECT_DOUBLE_EQ(WindowBackgroundColor.blue, 210.0 / 255.0);
    EXPECT_DOUBLE_EQ(MessageColor.red, 0.8);
    EXPECT_DOUBLE_EQ(MessageColor.green, 0.0);
    EXPECT_EQ(pango_font_description_get_size(fontlucidagranderegular12), 10 * PANGO_SCALE);
    EXPECT_EQ(pango_font_description_get_size(fontlucidagranderegular14), 14 * PANGO_SCALE);
}

TEST(StartUp,
     named_files_become_absolute_lines_unless_they_name_nothing_or_the_list_cannot_hold_them)
{
    testfiles::ScratchDir scratch;
    const std::string &top = scratch.dir();
    g_mkdir_with_parents((top + "/u/rel").c_str(), 0755);
    for (const char *name : {"/one.txt", "/u/rel/two words.txt", "/u/three", "/four", "/u/caf\xE9",
                             "/u/new\nline", "/u/caf\xC3\xA9"})
        testfiles::write_file(top + name, "x");
    testing::internal::CaptureStderr();
    const std::string lines = TenvarixCryptoFileListLinesFromArguments(
        {top + "/one.txt", "rel/two words.txt", "./three", "../four", "caf\xE9", "new\nline",
         "caf\xC3\xA9", "missing", "rel"},
        (top + "/u").c_str());
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(lines, top + "/one.txt\n" + top + "/u/rel/two words.txt\n" + top + "/u/three\n" +
                         top + "/four\n" + top + "/u/caf\xC3\xA9\n" + top + "/u/rel\n");
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 3) << said;
    EXPECT_NE(said.find("caf\\351"), std::string::npos) << said;
    EXPECT_NE(said.find("new\\nline"), std::string::npos) << said;
    EXPECT_NE(said.find("names no file or folder: missing"), std::string::npos) << said;
}

// Started elsewhere, the program still finds its pictures: in the installed
// data folder or in this source tree, the same files as ./__png's/ here.
TEST(StartUp, pictures_are_found_from_any_working_directory)
{
    EXPECT_EQ(TenvarixCryptoPictureFile(kPictureCryptChosen), kPictureCryptChosen);
    const std::string here = testfiles::read_file(kPictureCryptChosen);
    g_autofree char *source = g_get_current_dir();
    ASSERT_EQ(chdir("/"), 0);
    const std::string found = TenvarixCryptoPictureFile(kPictureCryptChosen);
    ASSERT_EQ(chdir(source), 0);
    EXPECT_TRUE(g_path_is_absolute(found.c_str())) << found;
    EXPECT_TRUE(g_str_has_suffix(found.c_str(), "/__png's/cryptchosen.png")) << found;
    EXPECT_EQ(testfiles::read_file(found), here);
}

using LaterStart = gui::WindowTest;

// Files that a later start hands over are listed at once; during a run they
// wait for its end and then are the list, the window staying open for them.
TEST_F(LaterStart, opened_files_join_the_list_and_during_a_run_wait_for_its_end)
{
    testfiles::ScratchDir scratch;
    const std::string data(300000, 'd');
    for (const char *name : {"data", "first", "during"})
        testfiles::write_file(scratch.path(name), name == std::string("data") ? data : "x");
    TenvarixCryptoListOpenedFiles({scratch.path("first"), "relative/name"});
    gtk_entry_set_text(GTK_ENTRY(LEdit_TenvarixCryptoWindowKey), testfiles::kKey.c_str());
    while (TenvarixCryptoFileListIsFilling())
        g_main_context_iteration(nullptr, FALSE);
    gui::drain();
    EXPECT_EQ(gui::file_list_text(), scratch.path("first") + "\n");
    gtk_text_buffer_set_text(TenvarixCryptoWindowFilePfadBuffer,
                             (scratch.path("data") + "\n").c_str(), -1);

    gui::slow_down_runs();
    // Handed over once, while the run works.
    struct During {
        std::string path;
        bool handed = false;
    } during{scratch.path("during")};
    gulong id = g_signal_connect(ProgressBar_TenvarixCryptoWindow, "notify::fraction",
                                 G_CALLBACK(+[](GObject *, GParamSpec *, gpointer p) {
                                     auto *d = static_cast<During *>(p);
                                     if (grunningcrypt && !std::exchange(d->handed, true))
                                         TenvarixCryptoListOpenedFiles({d->path});
                                 }),
                                 &during);
    std::string list_after_run;
    EXPECT_TRUE(gui::run_in_main_loop([&] {
        TenvarixCryptoDoIt(PBut_TenvarixCryptoWindowCrypt, nullptr, nullptr);
        g_signal_handler_disconnect(ProgressBar_TenvarixCryptoWindow, id);
        while (TenvarixCryptoFileListIsFilling())
            g_main_context_iteration(nullptr, FALSE);
        list_after_run = gui::file_list_text();
        gtk_main_quit();
    }));
    TenvarixCryptoSetRunOptions({});
    EXPECT_TRUE(during.handed);
    EXPECT_TRUE(window_alive());
    EXPECT_EQ(TenvarixCryptoExitStatus(), 0);
    EXPECT_EQ(list_after_run, scratch.path("during") + "\n");
    EXPECT_EQ(testfiles::read_file(scratch.path("datatenvarixcrypto")),
              testfiles::xor_with(data, testfiles::kKey));
    EXPECT_FALSE(testfiles::exists(scratch.path("duringtenvarixcrypto")));
}
