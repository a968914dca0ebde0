// SPDX-License-Identifier: GPL-3.0-or-later
// The naming rule of partner files and the file list's format.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The partner name: the path less the marker when it ends in the marker, else
// the path with the marker appended, wherever else the marker stands.
inline constexpr std::string_view kMarker = "tenvarixcrypto";
std::string MakeOutFileName(std::string_view path);

// The file list, consumed from its head one line at a time. A final newline
// is optional; an empty line is a path of length 0; bytes stay untrimmed.
class FileList {
public:
    explicit FileList(std::string text);
    // Takes the next path; false when none is left.
    bool next(std::string &path);

private:
    std::string text_;
    std::size_t cursor_ = 0;
};
