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
// True while text given to the two above is still to be inserted; Crypt and
// keypad Enter are ignored meanwhile.
bool TenvarixCryptoFileListIsFilling();
