// SPDX-License-Identifier: GPL-3.0-or-later
// The application shell's chief header: what the shell offers, one header
// per part (start-up, the window, its pictures and buttons, presses and keys,
// the file list and what fills it, the run as the window shows it), and the
// widgets and variables the whole program shares.
#pragma once

#include <gtk/gtk.h>

#include "chooser.h"
#include "commandline.h"
#include "decoration.h"
#include "dispatch.h"
#include "dragdrop.h"
#include "fileappend.h"
#include "filelistlines.h"
#include "folders.h"
#include "lookandfeel.h"
#include "lostdisplay.h"
#include "onewindow.h"
#include "picturebutton.h"
#include "pictures.h"
#include "startup.h"
#include "window.h"
#include "windowrun.h"

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

// Look and feel, created once at start-up and never released.
extern PangoFontDescription *fontlucidagranderegular12;
extern PangoFontDescription *fontlucidagranderegular14;
extern GdkRGBA WindowBackgroundColor;
extern GdkRGBA MessageColor;

// The chooser's result text (g_malloc'ed), or null; handed to the dispatcher.
extern char *gFileName;

// Progress milestones of the file under way; cleared before every path.
extern int gprozentflag10, gprozentflag20, gprozentflag30, gprozentflag40, gprozentflag50,
    gprozentflag60, gprozentflag70, gprozentflag80, gprozentflag90;
extern int grefreshprogressbar;

// 1 while doTenvarixCrypto works; gcancelcrypt is 1 once the run under way
// was asked to stop.
extern int grunningcrypt;
extern int gcancelcrypt;
