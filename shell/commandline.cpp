// SPDX-License-Identifier: GPL-3.0-or-later
#include "commandline.h"

#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kSummary[] =
    "Encrypts and decrypts whole files with a key that you type. Type the key, list\n"
    "the files (FILE arguments, typed paths, Select File or dropped files) and press\n"
    "Crypt. Every file is read and its partner written beside it: a name that\n"
    "ends in \"tenvarixcrypto\" loses it, any other name gets \"tenvarixcrypto\"\n"
    "appended.";

// After a command line that does not parse, its words that are no options
// are still the files to list.
std::vector<std::string> words_that_are_no_options(int argc, char **argv)
{
    std::vector<std::string> words;
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        if (!options_ended && std::strcmp(argv[i], "--") == 0)
            options_ended = true;
        else if (options_ended || argv[i][0] != '-')
            words.emplace_back(argv[i]);
    }
    return words;
}

} // namespace

std::vector<std::string> TenvarixCryptoReadCommandLine(int &argc, char **&argv)
{
    gboolean show_version = FALSE;
    g_auto(GStrv) files = nullptr;
    const GOptionEntry entries[] = {
        {"version", 'V', 0, G_OPTION_ARG_NONE, &show_version, "Print the version and exit",
         nullptr},
        {G_OPTION_REMAINING, 0, 0, G_OPTION_ARG_FILENAME_ARRAY, &files, nullptr, nullptr},
        {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
    };
    g_autoptr(GOptionContext) context =
        g_option_context_new("[FILE...] - encrypt and decrypt files with a typed key");
    g_option_context_set_summary(context, kSummary);
    // clang-format off
    const std::string description =
        std::string("Each FILE starts in the file list as an absolute path, a folder as the\n"
                    "regular files under it (links left out). A FILE that names nothing and an\n"
                    "unknown option are ignored with a line on stderr. The listed files are\n"
                    "only read; each partner file is written beside its file.\n\n"
                    "The button pictures are read from ./__png's/ in the working folder, else from\n"
                    "  ") +
        TENVARIX_DATA_DIR "/__png's/\nand then from the source tree the program was built from,\n  " +
        TENVARIX_SOURCE_DIR "/__png's/\n\n"
        "Exit status: 0 when every listed file was written, or when no run was tried;\n"
        "1 when the last run stopped with a message or by Cancel or closing the window;\n"
        "128 + n when signal n stopped a run.\n";
    // clang-format on
    g_option_context_set_description(context, description.c_str());
    g_option_context_add_main_entries(context, entries, nullptr);
    // Without opening the display, so that --help and --version need none.
    g_option_context_add_group(context, gtk_get_option_group(FALSE));

    g_option_context_set_ignore_unknown_options(context, TRUE);

    g_autoptr(GError) error = nullptr;
    if (!g_option_context_parse(context, &argc, &argv, &error)) {
        std::fprintf(stderr, "tenvarix-crypto: ignored: %s\n", error->message);
        std::vector<std::string> words = words_that_are_no_options(argc, argv);
        argc = 1;
        return words;
    }
    if (show_version) {
        std::printf("tenvarix-crypto %s\n", TENVARIX_VERSION);
        std::exit(0);
    }
    // What the parse left besides the program name are unknown options.
    for (int i = 1; i < argc; ++i)
        std::fprintf(stderr, "tenvarix-crypto: ignored unknown option %s\n", argv[i]);
    argc = 1;
    std::vector<std::string> names;
    for (char **f = files; f && *f; ++f)
        names.emplace_back(*f);
    return names;
}
