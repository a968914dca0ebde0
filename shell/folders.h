// SPDX-License-Identifier: GPL-3.0-or-later
// The files under a folder, for the file list.
#pragma once

#include <gio/gio.h>

#include <string>
#include <vector>

// The regular files under a folder, recursively, as absolute paths in byte
// order: links (to files or folders), FIFOs, sockets and devices are left
// out, hidden files are not. A folder that cannot be read is listed itself.
std::vector<std::string> TenvarixCryptoFilesInFolder(const std::string &folder,
                                                     GCancellable *cancellable = nullptr);
