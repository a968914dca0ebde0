// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "crypt/names.h"

TEST(MakeOutFileName, appends_or_cuts_the_marker)
{
    const std::pair<std::string, std::string> cases[] = {
        {"/home/u/report.txt", "/home/u/report.txttenvarixcrypto"},
        {"/home/u/report.txttenvarixcrypto", "/home/u/report.txt"},
        // The marker elsewhere than at the end: in a folder's name, at the
        // start or in the middle of the file's own name. The output stays
        // beside its input and turns back into it.
        {"/tenvarixcrypto/dir/ab", "/tenvarixcrypto/dir/abtenvarixcrypto"},
        {"/home/u/tenvarixcrypto-vault/notes.txt",
         "/home/u/tenvarixcrypto-vault/notes.txttenvarixcrypto"},
        {"/home/u/tenvarixcrypto-vault/notes.txttenvarixcrypto",
         "/home/u/tenvarixcrypto-vault/notes.txt"},
        {"/home/u/tenvarixcrypto-readme.txt", "/home/u/tenvarixcrypto-readme.txttenvarixcrypto"},
        {"/home/u/mytenvarixcryptonotes", "/home/u/mytenvarixcryptonotestenvarixcrypto"},
        {"a tenvarixcrypto b", "a tenvarixcrypto btenvarixcrypto"},
        // At the end only one marker goes, however many stand before it.
        {"/home/u/atenvarixcryptotenvarixcrypto", "/home/u/atenvarixcrypto"},
        {"/home/u/TENVARIXCRYPTO", "/home/u/TENVARIXCRYPTOtenvarixcrypto"},
        {"/home/u/tenvarixcrypt", "/home/u/tenvarixcrypttenvarixcrypto"},
        {"tenvarixcrypto", ""},
        {"", "tenvarixcrypto"},
    };
    for (const auto &[path, out] : cases)
        EXPECT_EQ(MakeOutFileName(path), out) << path;
}

std::vector<std::string> split(const std::string &text)
{
    FileList list(text);
    std::vector<std::string> paths;
    std::string path;
    while (list.next(path))
        paths.push_back(path);
    return paths;
}

using Paths = std::vector<std::string>;

TEST(FileList, takes_one_path_per_line_with_the_final_newline_optional)
{
    EXPECT_EQ(split(""), Paths{});
    EXPECT_EQ(split("/a"), Paths{"/a"});
    EXPECT_EQ(split("/a\n"), Paths{"/a"});
    EXPECT_EQ(split("/a\n/b"), (Paths{"/a", "/b"}));
    EXPECT_EQ(split("/a\n/b\n"), (Paths{"/a", "/b"}));
}

TEST(FileList, empty_lines_are_empty_paths_and_bytes_stay_untrimmed)
{
    EXPECT_EQ(split("\n"), Paths{""});
    EXPECT_EQ(split("/a\n\n"), (Paths{"/a", ""}));
    EXPECT_EQ(split("\n/a"), (Paths{"", "/a"}));
    EXPECT_EQ(split("/a \n\t/b\r\n"), (Paths{"/a ", "\t/b\r"}));
}

TEST(FileList, ten_thousand_long_paths_come_out_whole_and_in_order)
{
    std::string text;
    for (int i = 0; i < 10000; ++i)
        text +=
            "/some/rather/long/directory/name/" + std::string(1500, 'x') + std::to_string(i) + "\n";
    FileList list(text);
    std::string path;
    int count = 0;
    while (list.next(path)) {
        ASSERT_EQ(path.size(), 33 + 1500 + std::to_string(count).size());
        ASSERT_EQ(path.substr(33 + 1500), std::to_string(count));
        ++count;
    }
    EXPECT_EQ(count, 10000);
}
