// SPDX-License-Identifier: GPL-3.0-or-later
// The application shell: start-up, the main window and its widgets, event
// dispatch, the picture buttons and the file chooser. Everything the other
// folders may use of the shell is declared here.
#pragma once

#include <gtk/gtk.h>

#include <string>
#include <vector>

#include "crypt/crypt.h"
#include "commandline.h"
#include "decoration.h"
#include "filelistlines.h"
#include "lookandfeel.h"
#include "lostdisplay.h"
#include "pictures.h"

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

// A picture button: an event box that takes the keyboard focus, presses on
// Space and Return and offers a "click" action to assistive technology, all
// through TenvarixCryptoDoIt.
GtkWidget *TenvarixCryptoPictureButtonNew();

// Start-up: the command line (--help, --version and errors end the program
// here), the program name, GTK, toolkit-wide settings, fonts, colours,
// numeric locale, the end signals and the handling of a lost display.
// Returns the files named on the command line.
std::vector<std::string> InitiateEnvironment(int argc, char **argv);

// SIGTERM, SIGINT and SIGHUP cancel a run under way (the program then ends as
// after Cancel); with no run they end the program.
void TenvarixCryptoCatchEndSignals();

// The program's exit status, from the last run: 0 after a complete run or
// when none was tried, 1 after a run that stopped with a message or by
// Cancel or closing the window, 128 + n after one that signal n stopped.
int TenvarixCryptoExitStatus();

// Builds and shows the window (progress bar hidden) without running the
// main loop; TenvarixCrypto builds it, lists the given files and runs the
// loop until the end.
void TenvarixCryptoCreateWindow();
void TenvarixCrypto(const std::vector<std::string> &files = {});

// Signal handlers of the window and the picture buttons.
gboolean TenvarixCryptoDoIt(GtkWidget *widget, GdkEvent *event, gpointer data);
gboolean TenvarixCryptoDoEnter(GtkWidget *widget, GdkEvent *event, gpointer data);
gboolean TenvarixCryptoDoLeave(GtkWidget *widget, GdkEvent *event, gpointer data);
gboolean TenvarixCryptowindowdokeypressevent(GtkWidget *widget, GdkEventKey *event,
                                             gpointer data);
gboolean TenvarixCryptowindowdobuttonpressevent(GtkWidget *widget, GdkEventButton *event,
                                               gpointer data);
gboolean TenvarixCryptowindowdodeleteevent(GtkWidget *widget, GdkEvent *event,
                                           gpointer data);

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

// The regular files under a folder, recursively, as absolute paths in byte
// order: links (to files or folders), FIFOs, sockets and devices are left
// out, hidden files are not. A folder that cannot be read is listed itself.
std::vector<std::string> TenvarixCryptoFilesInFolder(const std::string &folder,
                                                     GCancellable *cancellable = nullptr);

// Runs the modal file chooser; leaves its result in gFileName.
void doSetzenFileName();

// Files dropped from a file manager onto the file list are appended to it
// as the chooser appends them; dropped text keeps the view's own handling.
void TenvarixCryptoAcceptFileDrops(GtkWidget *file_list);

// Processes every pending toolkit event, so the window stays alive during work.
void TenvarixCryptoDrainEvents();

// Progress milestones of the file under way; cleared before every path.
extern int gprozentflag10, gprozentflag20, gprozentflag30, gprozentflag40, gprozentflag50,
    gprozentflag60, gprozentflag70, gprozentflag80, gprozentflag90;
extern int grefreshprogressbar;

// 1 while doTenvarixCrypto works; gcancelcrypt is 1 once the run under way
// was asked to stop.
extern int grunningcrypt;
extern int gcancelcrypt;

// Asks the run under way to stop (Cancel, closing the window, end signals).
void TenvarixCryptoStopRun();
// For an end of the program that cannot wait for the run (a lost display):
// stops the run under way and waits until every file it reported done has
// its name.
void TenvarixCryptoKeepDoneFiles();
// How the next runs read their inputs: for tests that need a slow input.
void TenvarixCryptoSetRunOptions(TransformOptions options);

// The crypt action: 0 when every listed file was transformed, 1 when the run
// stopped (with a message in the message line, or on a cancel request). The
// files are worked on by the run's worker; meanwhile this runs the main loop.
// After a message the bar names the path that stopped the run and its line in
// the file list is selected and scrolled into view.
int doTenvarixCrypto();

// Shows one progress step of the path at index `file` of a run over `files`
// paths on the progress bar, as the per-byte loop would set it; with more
// than one path the bar's text says which is under way ("2 of 5").
void doCryptFile(const ProgressStep &step, std::size_t file, std::size_t files);
