// SPDX-License-Identifier: GPL-3.0-or-later
// Text added to the end of the file list.
#pragma once

// Inserts text at the end of the file list, on a line of its own: after an
// unfinished last line a newline comes first, so two paths never fuse. While
// folders are being listed the text waits behind their files.
void TenvarixCryptoAppendToFileList(const char *text);

// Appends lines of paths to the file list as TenvarixCryptoAppendToFileList
// does, each folder replaced by its files: listed on a worker thread and
// inserted in slices, so the window answers throughout.
void TenvarixCryptoAppendFilesToFileList(const char *lines);
// True while text given to the two above is still to be inserted.
bool TenvarixCryptoFileListIsFilling();
// Runs the action once the file list is filled: at once when it is, else
// after the last text queued has gone in (a Crypt pressed while folders are
// listed). A later call replaces the action; a new window's list drops it.
void TenvarixCryptoWhenFileListFilled(void (*action)());
