// SPDX-License-Identifier: GPL-3.0-or-later
// What the window's presses, keys, pointer crossings and close, and the end
// signals, do; and the exit status they leave.
#pragma once

#include <gtk/gtk.h>

// Signal handlers of the window and the picture buttons.
gboolean TenvarixCryptoDoIt(GtkWidget *widget, GdkEvent *event, gpointer data);
gboolean TenvarixCryptoDoEnter(GtkWidget *widget, GdkEvent *event, gpointer data);
gboolean TenvarixCryptoDoLeave(GtkWidget *widget, GdkEvent *event, gpointer data);
gboolean TenvarixCryptowindowdokeypressevent(GtkWidget *widget, GdkEventKey *event, gpointer data);
gboolean TenvarixCryptowindowdobuttonpressevent(GtkWidget *widget, GdkEventButton *event,
                                                gpointer data);
gboolean TenvarixCryptowindowdodeleteevent(GtkWidget *widget, GdkEvent *event, gpointer data);

// Processes every pending toolkit event, so the window stays alive during work.
void TenvarixCryptoDrainEvents();

// SIGTERM, SIGINT and SIGHUP cancel a run under way (the program then ends as
// after Cancel); with no run they end the program.
void TenvarixCryptoCatchEndSignals();

// The program's exit status, from the last run: 0 after a complete run or
// when none was tried, 1 after a run that stopped with a message or by
// Cancel or closing the window, 128 + n after one that signal n stopped.
int TenvarixCryptoExitStatus();
