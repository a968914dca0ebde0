// SPDX-License-Identifier: GPL-3.0-or-later
#include "filelistlines.h"

#include "shell.h"

#include <cstdio>
#include <memory>
#include <sys/stat.h>

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
