// SPDX-License-Identifier: GPL-3.0-or-later
#include "chooser.h"

#include "filelistlines.h"
#include "window.h"

#include <cstring>

namespace {

// Every name the file list can hold, each followed by a newline, in one
// g_malloc'ed buffer of exactly the needed size; the dispatcher releases it
// with g_free.
char *join_as_lines(const GSList *names)
{
    gsize size = 1;
    for (const GSList *n = names; n; n = n->next) {
        const char *name = static_cast<const char *>(n->data);
        if (TenvarixCryptoFileListCanHold(name))
            size += std::strlen(name) + 1;
    }
    char *text = static_cast<char *>(g_malloc(size));
    char *end = text;
    for (const GSList *n = names; n; n = n->next) {
        const char *name = static_cast<const char *>(n->data);
        if (!TenvarixCryptoFileListCanHold(name))
            continue;
        gsize length = std::strlen(name);
        std::memcpy(end, name, length);
        end += length;
        *end++ = '\n';
    }
    *end = '\0';
    return text;
}

} // namespace

void doSetzenFileName()
{
    GtkWidget *dialog = gtk_file_chooser_dialog_new(
        "Select File/s ...", GTK_WINDOW(TenvarixCryptoWindow), GTK_FILE_CHOOSER_ACTION_OPEN,
        "_Cancel", GTK_RESPONSE_CANCEL, "_Accept", GTK_RESPONSE_ACCEPT, nullptr);
    gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(dialog), TRUE);
    if (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
        GSList *names = gtk_file_chooser_get_filenames(GTK_FILE_CHOOSER(dialog));
        gFileName = join_as_lines(names);
        g_slist_free_full(names, g_free);
    }
    gtk_widget_destroy(dialog);
}
