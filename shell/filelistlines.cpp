// SPDX-License-Identifier: GPL-3.0-or-later
#include "filelistlines.h"

#include "folders.h"

#include "crypt/crypt.h"

#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace {

// A file: URI names a local path when it has no host, or this one; host
// names are compared without regard to case.
bool names_this_machine(const char *host)
{
    return !host || !*host || g_ascii_strcasecmp(host, "localhost") == 0 ||
           g_ascii_strcasecmp(host, g_get_host_name()) == 0;
}

} // namespace

bool TenvarixCryptoFileListCanHold(const char *path)
{
    return g_utf8_validate(path, -1, nullptr) && !std::strchr(path, '\n');
}

void TenvarixCryptoSayLeftOut(const char *path)
{
    g_autofree char *shown = g_strescape(path, nullptr);
    std::fprintf(stderr,
                 "tenvarix-crypto: left out of the file list, which holds only UTF-8 "
                 "names without newlines: %s\n",
                 shown);
}

std::string TenvarixCryptoFileListLinesFromArguments(const std::vector<std::string> &files,
                                                     const char *folder)
{
    std::string lines;
    for (const std::string &file : files) {
        g_autofree char *path = g_canonicalize_filename(file.c_str(), folder);
        struct stat st;
        if (stat(path, &st) != 0) {
            g_autofree char *shown = g_strescape(file.c_str(), nullptr);
            std::fprintf(stderr,
                         "tenvarix-crypto: left out of the file list, as it names no file "
                         "or folder: %s\n",
                         shown);
            continue;
        }
        if (!TenvarixCryptoFileListCanHold(path)) {
            TenvarixCryptoSayLeftOut(file.c_str());
            continue;
        }
        lines += path;
        lines += '\n';
    }
    return lines;
}

std::string TenvarixCryptoFileListLinesFromUriList(const char *uri_list)
{
    g_auto(GStrv) uris = g_uri_list_extract_uris(uri_list);
    std::string lines;
    for (char **uri = uris; *uri; ++uri) {
        g_autofree char *host = nullptr;
        g_autofree char *path = g_filename_from_uri(*uri, &host, nullptr);
        if (!path || !names_this_machine(host))
            continue;
        if (!TenvarixCryptoFileListCanHold(path))
            continue;
        lines += path;
        lines += '\n';
    }
    return lines;
}

std::string TenvarixCryptoFileListLinesWithFolderFiles(const std::string &lines,
                                                       GCancellable *cancellable)
{
    std::string result;
    FileList list(lines);
    for (std::string path; list.next(path);) {
        struct stat st;
        if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            result += path;
            result += '\n';
            continue;
        }
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        for (const std::string &file : TenvarixCryptoFilesInFolder(path, cancellable)) {
            if (!TenvarixCryptoFileListCanHold(file.c_str())) {
                TenvarixCryptoSayLeftOut(file.c_str());
                continue;
            }
            result += file;
            result += '\n';
        }
    }
    return result;
}
