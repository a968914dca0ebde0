// SPDX-License-Identifier: GPL-3.0-or-later
// Files dropped onto the file list.
#pragma once

#include <gtk/gtk.h>

// Files dropped from a file manager onto the file list are appended to it
// as the chooser appends them; dropped text keeps the view's own handling.
void TenvarixCryptoAcceptFileDrops(GtkWidget *file_list);
