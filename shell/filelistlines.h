// SPDX-License-Identifier: GPL-3.0-or-later
// Lines for the file list, made from what the user names: each a path and a
// newline, with the names that the list cannot hold left out.
#pragma once

#include <gio/gio.h>

#include <string>
#include <vector>

// Whether a path can be one line of the file list: the list is UTF-8 text
// and refuses anything else whole, and a newline would make two paths of it.
bool TenvarixCryptoFileListCanHold(const char *path);

// The line on stderr for a name the file list cannot hold.
void TenvarixCryptoSayLeftOut(const char *path);

// The file-list lines for files named on the command line: each as an
// absolute path (relative ones taken from `folder`) and a newline. Names that
// name nothing, and names the list cannot hold, are left out with a line on
// stderr.
std::string TenvarixCryptoFileListLinesFromArguments(const std::vector<std::string> &files,
                                                     const char *folder);

// The file-list lines for a dropped text/uri-list: each local file's path
// and a newline; other URIs, and paths the list cannot hold, are left out.
std::string TenvarixCryptoFileListLinesFromUriList(const char *uri_list);

// File-list lines with every line that names a folder replaced by the lines
// of its files; names the list cannot hold are left out with a line on stderr.
std::string TenvarixCryptoFileListLinesWithFolderFiles(const std::string &lines,
                                                       GCancellable *cancellable = nullptr);
