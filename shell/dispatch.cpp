// SPDX-License-Identifier: GPL-3.0-or-later
#include "dispatch.h"

#include "chooser.h"
#include "fileappend.h"
#include "onewindow.h"
#include "pictures.h"
#include "window.h"
#include "windowrun.h"

#include <csignal>
#include <glib-unix.h>

char *gFileName = nullptr;

namespace {

// The last run's outcome, for the exit status: 0 for a complete run or none,
// 1 for a run that stopped with a message or by Cancel or closing, 128 + n
// for one that signal n stopped.
int last_run_status = 0;
// The end signal that asked the run under way to stop, or 0.
int stopping_signal = 0;

void close_window_and_quit()
{
    gtk_widget_destroy(TenvarixCryptoWindow);
    gtk_main_quit();
}

void append_chosen_files()
{
    doSetzenFileName();
    if (!gFileName)
        return;
    TenvarixCryptoAppendToFileList(gFileName);
    g_free(gFileName);
    gFileName = nullptr;
}

void run_crypt()
{
    // A press or keypad Enter that arrives during a run would start a second
    // run over the same files: ignore it.
    if (grunningcrypt)
        return;
    // While folders are still being listed, the run waits for the whole list.
    if (TenvarixCryptoFileListIsFilling()) {
        TenvarixCryptoWhenFileListFilled(run_crypt);
        return;
    }
    stopping_signal = 0;
    const int result = doTenvarixCrypto();
    if (gcancelcrypt)
        last_run_status = stopping_signal ? 128 + stopping_signal : 1;
    else
        last_run_status = result;
    // Files opened from outside during the run waited for its end. After a
    // complete run they are the list, and the window stays open for them.
    const std::string opened = TenvarixCryptoTakeFilesOpenedDuringRun();
    if (!opened.empty() && !gcancelcrypt) {
        if (result == 0)
            gtk_text_buffer_set_text(TenvarixCryptoWindowFilePfadBuffer, "", -1);
        TenvarixCryptoAppendFilesToFileList(opened.c_str());
        return;
    }
    if (result == 0 || gcancelcrypt)
        close_window_and_quit();
}

// SIGTERM, SIGINT or SIGHUP: during a run a Cancel, after which the program
// ends; otherwise the end it always was.
gboolean end_signal(gpointer signal_number)
{
    const int signo = GPOINTER_TO_INT(signal_number);
    if (grunningcrypt) {
        stopping_signal = signo;
        TenvarixCryptoStopRun();
        // A dialog open meanwhile (the file chooser) would hold the end of
        // the run until it closes: it is answered as if closed.
        GList *windows = gtk_window_list_toplevels();
        for (GList *w = windows; w; w = w->next)
            if (GTK_IS_DIALOG(w->data) && gtk_widget_get_visible(GTK_WIDGET(w->data)))
                gtk_dialog_response(GTK_DIALOG(w->data), GTK_RESPONSE_DELETE_EVENT);
        g_list_free(windows);
        return G_SOURCE_CONTINUE;
    }
    std::signal(signo, SIG_DFL);
    std::raise(signo);
    return G_SOURCE_REMOVE;
}

void swap_picture(GtkWidget *widget, bool pointer_inside)
{
    for (const PictureButton &pb : kPictureButtons) {
        if (widget == *pb.button) {
            TenvarixCryptoShowPicture(*pb.image, pointer_inside ? pb.chosen : pb.not_chosen);
            return;
        }
    }
}

// A Return or Escape that ends a composition in the focused field's input
// method is the input method's: it gets the key first, as the field itself
// would give it.
bool taken_by_input_method(GtkWidget *focus, GdkEventKey *event)
{
    if (GTK_IS_ENTRY(focus))
        return gtk_entry_im_context_filter_keypress(GTK_ENTRY(focus), event);
    if (GTK_IS_TEXT_VIEW(focus))
        return gtk_text_view_im_context_filter_keypress(GTK_TEXT_VIEW(focus), event);
    return false;
}

} // namespace

void TenvarixCryptoDrainEvents()
{
    while (gtk_events_pending())
        gtk_main_iteration();
}

gboolean TenvarixCryptoDoIt(GtkWidget *widget, GdkEvent *, gpointer)
{
    if (widget == PBut_TenvarixCryptoWindowCancel) {
        // During a run, Cancel stops it at its next drain; the run's caller
        // then closes the window once the files are in a safe state.
        if (grunningcrypt)
            TenvarixCryptoStopRun();
        else
            close_window_and_quit();
    } else if (widget == PBut_TenvarixCryptoWindowSelectFile) {
        append_chosen_files();
    } else if (widget == PBut_TenvarixCryptoWindowCrypt || widget == TenvarixCryptoWindow) {
        run_crypt();
    }
    return TRUE;
}

gboolean TenvarixCryptoDoEnter(GtkWidget *widget, GdkEvent *, gpointer)
{
    swap_picture(widget, true);
    return FALSE;
}

gboolean TenvarixCryptoDoLeave(GtkWidget *widget, GdkEvent *, gpointer)
{
    swap_picture(widget, false);
    return FALSE;
}

// Keypad Enter anywhere, and Return in the key entry, start the crypt
// action; Escape anywhere is Cancel. Return elsewhere goes on to the focused
// widget (a new line in the file list, a press on a focused button).
gboolean TenvarixCryptowindowdokeypressevent(GtkWidget *widget, GdkEventKey *event, gpointer)
{
    GtkWidget *focus = gtk_window_get_focus(GTK_WINDOW(widget));
    GtkWidget *source = nullptr;
    const bool enter = event->keyval == GDK_KEY_KP_Enter ||
                       ((event->keyval == GDK_KEY_Return || event->keyval == GDK_KEY_ISO_Enter) &&
                        focus == LEdit_TenvarixCryptoWindowKey);
    if (enter)
        source = widget;
    else if (event->keyval == GDK_KEY_Escape)
        source = PBut_TenvarixCryptoWindowCancel;
    else
        return FALSE;
    if (event->keyval != GDK_KEY_KP_Enter && taken_by_input_method(focus, event))
        return TRUE;
    TenvarixCryptoDoIt(source, nullptr, nullptr);
    return TRUE;
}

// The window has no title bar: a left press on its painted background moves
// it. Presses on the entry, the list and the buttons come from their own
// windows, and some of them bubble up to here unhandled.
gboolean TenvarixCryptowindowdobuttonpressevent(GtkWidget *widget, GdkEventButton *event, gpointer)
{
    if (event->type != GDK_BUTTON_PRESS || event->button != GDK_BUTTON_PRIMARY ||
        gtk_get_event_widget(reinterpret_cast<GdkEvent *>(event)) != widget)
        return FALSE;
    gtk_window_begin_move_drag(GTK_WINDOW(widget), int(event->button), int(event->x_root),
                               int(event->y_root), event->time);
    return TRUE;
}

gboolean TenvarixCryptowindowdodeleteevent(GtkWidget *, GdkEvent *, gpointer)
{
    if (!grunningcrypt)
        return FALSE; // the default handler destroys the window, which ends the program
    TenvarixCryptoStopRun();
    return TRUE;
}

int TenvarixCryptoExitStatus()
{
    return last_run_status;
}

void TenvarixCryptoCatchEndSignals()
{
    for (int signo : {SIGTERM, SIGINT, SIGHUP})
        g_unix_signal_add(signo, end_signal, GINT_TO_POINTER(signo));
}
