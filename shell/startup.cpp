// SPDX-License-Identifier: GPL-3.0-or-later
#include "startup.h"

#include "commandline.h"
#include "dispatch.h"
#include "fileappend.h"
#include "filelistlines.h"
#include "lookandfeel.h"
#include "lostdisplay.h"
#include "onewindow.h"
#include "window.h"

#include <clocale>

std::vector<std::string> InitiateEnvironment(int argc, char **argv)
{
    std::vector<std::string> files = TenvarixCryptoReadCommandLine(argc, argv);
    // The launcher's start-up id, before the toolkit takes it out of the
    // environment: a window already open raises itself with it.
    const char *id = g_getenv("DESKTOP_STARTUP_ID");
    const std::string startup_id = id ? id : "";
    // The application id is the program name that GDK gives the window
    // (X11 WM_CLASS, Wayland app_id), so docks match it to its launcher.
    g_set_prgname(TENVARIX_APP_ID);
    gtk_init(&argc, &argv);
    gdk_set_program_class(TENVARIX_APP_ID);
    // With a window open on this display, the files go there and this start ends.
    TenvarixCryptoJoinOpenWindow(files, startup_id.c_str());
    TenvarixCryptoCatchEndSignals();
    TenvarixCryptoCatchLostDisplay();
    TenvarixCryptoSetLookAndFeel();
    // gtk_init took the locale from the environment; numbers stay in "C".
    setlocale(LC_NUMERIC, "C");
    return files;
}

void TenvarixCrypto(const std::vector<std::string> &files)
{
    TenvarixCryptoCreateWindow();
    TenvarixCryptoServeLaterStarts();
    if (!files.empty()) {
        g_autofree char *folder = g_get_current_dir();
        TenvarixCryptoAppendFilesToFileList(
            TenvarixCryptoFileListLinesFromArguments(files, folder).c_str());
    }
    gtk_main();
}
