// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up: the toolkit's look, the files named on the command line, the pictures.
#include "files.h"
#include "gui_support.h"

#include <algorithm>
#include <clocale>
#include <unistd.h>

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

TEST(StartUp, named_files_become_absolute_lines_unless_they_name_nothing_or_the_list_cannot_hold_them)
{
    testfiles::ScratchDir scratch;
    const std::string &top = scratch.dir();
    g_mkdir_with_parents((top + "/u/rel").c_str(), 0755);
    for (const char *name : {"/one.txt", "/u/rel/two words.txt", "/u/three", "/four",
                             "/u/caf\xE9", "/u/new\nline", "/u/caf\xC3\xA9"})
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
