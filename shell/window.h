// SPDX-License-Identifier: GPL-3.0-or-later
// The main window: its widgets built and placed as the layout says.
#pragma once

#include <gtk/gtk.h>

// Builds and shows the window (progress bar hidden) without running the
// main loop.
void TenvarixCryptoCreateWindow();

// Widgets, created by TenvarixCryptoCreateWindow and valid until the window
// is destroyed.
extern GtkWidget *TenvarixCryptoWindow;
extern GtkWidget *TenvarixCryptoWindowFixedLayout;
extern GtkWidget *DArea_TenvarixCryptoWindowDecoration;
extern GtkWidget *Label_TenvarixCryptoWindowTitle;
extern GtkWidget *Label_TenvarixCryptoWindowKey;
extern GtkWidget *LEdit_TenvarixCryptoWindowKey;
extern GtkWidget *Label_AnzahlBuchstaben;
extern GtkWidget *Label_KleinBuchstaben;
extern GtkWidget *Label_GrossBuchstaben;
extern GtkWidget *Label_NumerischBuchstaben;
extern GtkWidget *Label_SpezialBuchstaben;
extern GtkWidget *Label_ItentischeBuchstaben;
extern GtkWidget *Label_TenvarixCryptoWindowFilePfad;
extern GtkWidget *ScrollWindowFilePfad;
extern GtkWidget *MEdit_TenvarixCryptoWindowFilePfad;
extern GtkTextBuffer *TenvarixCryptoWindowFilePfadBuffer;
extern GtkWidget *ProgressBar_TenvarixCryptoWindow;
extern GtkWidget *Image_TenvarixCryptoWindowCancel;
extern GtkWidget *PBut_TenvarixCryptoWindowCancel;
extern GtkWidget *Image_TenvarixCryptoWindowSelectFile;
extern GtkWidget *PBut_TenvarixCryptoWindowSelectFile;
extern GtkWidget *Image_TenvarixCryptoWindowCrypt;
extern GtkWidget *PBut_TenvarixCryptoWindowCrypt;
extern GtkWidget *Label_TenvarixCryptoWindowMessage;
