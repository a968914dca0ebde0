// SPDX-License-Identifier: GPL-3.0-or-later
#include "dragdrop.h"

#include "fileappend.h"
#include "filelistlines.h"

namespace {

GdkAtom uri_list_atom()
{
    return gdk_atom_intern_static_string("text/uri-list");
}

bool offers_uri_list(GdkDragContext *context)
{
    for (GList *t = gdk_drag_context_list_targets(context); t; t = t->next)
        if (GDK_POINTER_TO_ATOM(t->data) == uri_list_atom())
            return true;
    return false;
}

// The text view takes only text; a source that offers a URI list (a file
// manager offers text as well) is answered here before the view sees it.
// Only a copy is offered: after a move the source would remove the files.
gboolean on_drag_motion(GtkWidget *, GdkDragContext *context, gint, gint, guint time, gpointer)
{
    if (!offers_uri_list(context))
        return FALSE;
    bool can_copy = gdk_drag_context_get_actions(context) & GDK_ACTION_COPY;
    gdk_drag_status(context, can_copy ? GDK_ACTION_COPY : GdkDragAction(0), time);
    return TRUE;
}

// GTK passes received data on only when its type is among the widget's drop
// targets; the text view renews that list from its buffer now and then, so
// the URI list is added again at every drop.
void take_uri_list_data(GtkWidget *widget)
{
    GtkTargetList *own = gtk_drag_dest_get_target_list(widget);
    if (own && gtk_target_list_find(own, uri_list_atom(), nullptr))
        return;
    GtkTargetList *targets = gtk_target_list_new(nullptr, 0);
    if (own) {
        gint count = 0;
        GtkTargetEntry *entries = gtk_target_table_new_from_list(own, &count);
        gtk_target_list_add_table(targets, entries, count);
        gtk_target_table_free(entries, count);
    }
    gtk_target_list_add_uri_targets(targets, 0);
    gtk_drag_dest_set_target_list(widget, targets);
    gtk_target_list_unref(targets);
}

gboolean on_drag_drop(GtkWidget *widget, GdkDragContext *context, gint, gint, guint time, gpointer)
{
    if (!offers_uri_list(context))
        return FALSE;
    if (gdk_drag_context_get_actions(context) & GDK_ACTION_COPY) {
        take_uri_list_data(widget);
        gtk_drag_get_data(widget, context, uri_list_atom(), time);
    } else
        gtk_drag_finish(context, FALSE, FALSE, time);
    return TRUE;
}

// Runs before the text view's own handler, which would insert the URIs as
// text at the drop point; text passes through to it untouched.
void on_drag_data_received(GtkWidget *widget, GdkDragContext *context, gint, gint,
                           GtkSelectionData *data, guint, guint time, gpointer)
{
    if (gtk_selection_data_get_target(data) != uri_list_atom())
        return;
    g_signal_stop_emission_by_name(widget, "drag-data-received");

    const guchar *bytes = gtk_selection_data_get_data(data);
    int length = gtk_selection_data_get_length(data);
    std::string lines;
    if (bytes && length > 0)
        lines = TenvarixCryptoFileListLinesFromUriList(
            std::string(reinterpret_cast<const char *>(bytes), length).c_str());
    if (!lines.empty())
        TenvarixCryptoAppendFilesToFileList(lines.c_str());
    gtk_drag_finish(context, !lines.empty(), FALSE, time);
}

} // namespace

void TenvarixCryptoAcceptFileDrops(GtkWidget *file_list)
{
    g_signal_connect(file_list, "drag-motion", G_CALLBACK(on_drag_motion), nullptr);
    g_signal_connect(file_list, "drag-drop", G_CALLBACK(on_drag_drop), nullptr);
    g_signal_connect(file_list, "drag-data-received", G_CALLBACK(on_drag_data_received), nullptr);
}
