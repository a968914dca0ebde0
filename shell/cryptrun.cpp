// The crypt run as the window drives it: reads the key and the file list,
// shows the progress bar and drains events while the core transforms.
#include "shell.h"

int gprozentflag10, gprozentflag20, gprozentflag30, gprozentflag40, gprozentflag50,
    gprozentflag60, gprozentflag70, gprozentflag80, gprozentflag90;
int grefreshprogressbar;
int grunningcrypt;
int gcancelcrypt;

namespace {

int *const kProgressFlags[] = {&gprozentflag10, &gprozentflag20, &gprozentflag30,
                               &gprozentflag40, &gprozentflag50, &gprozentflag60,
                               &gprozentflag70, &gprozentflag80, &gprozentflag90};

void reset_progress_flags()
{
    for (int *flag : kProgressFlags)
        *flag = 0;
    grefreshprogressbar = 0;
}

void put_message(const std::string &text)
{
    gtk_label_set_text(GTK_LABEL(Label_TenvarixCryptoWindowMessage), text.c_str());
}

// Drains pending events; false when a cancel was asked for meanwhile.
bool drain_and_go_on()
{
    TenvarixCryptoDrainEvents();
    return !gcancelcrypt;
}

// Runs the main loop until the bar newly shown has been painted (a single
// drain leaves its layout and paint for a later frame), or ~100 ms have passed.
void paint_bar_now()
{
    GtkWidget *bar = ProgressBar_TenvarixCryptoWindow;
    if (!gtk_widget_get_mapped(TenvarixCryptoWindow))
        return;
    struct Wait {
        bool painted = false, late = false;
    } wait;
    const gulong drawn = g_signal_connect_after(
        bar, "draw", G_CALLBACK(+[](GtkWidget *, cairo_t *, gpointer p) {
            static_cast<Wait *>(p)->painted = true;
            return FALSE;
        }),
        &wait);
    const guint timer = g_timeout_add(100, +[](gpointer p) {
        static_cast<Wait *>(p)->late = true;
        return G_SOURCE_REMOVE;
    }, &wait);
    gtk_widget_queue_draw(bar);
    while (!wait.painted && !wait.late && !gcancelcrypt)
        g_main_context_iteration(nullptr, TRUE);
    if (!wait.late)
        g_source_remove(timer);
    g_signal_handler_disconnect(bar, drawn);
}

bool show_progress(const ProgressStep &step)
{
    GtkProgressBar *bar = GTK_PROGRESS_BAR(ProgressBar_TenvarixCryptoWindow);
    if (step.kind == ProgressStep::Milestone) {
        for (int i = 0; i < step.milestones; ++i)
            *kProgressFlags[i] = 1;
        grefreshprogressbar = 1;
    }
    gtk_progress_bar_set_fraction(bar, step.fraction);
    if (step.kind == ProgressStep::Start && !gtk_widget_get_visible(ProgressBar_TenvarixCryptoWindow)) {
        gtk_widget_show(ProgressBar_TenvarixCryptoWindow);
        paint_bar_now();
    }
    const bool go_on = drain_and_go_on();
    grefreshprogressbar = 0;
    return go_on;
}

std::string file_list_copy()
{
    GtkTextIter start, end;
    gtk_text_buffer_get_start_iter(TenvarixCryptoWindowFilePfadBuffer, &start);
    gtk_text_buffer_get_end_iter(TenvarixCryptoWindowFilePfadBuffer, &end);
    std::unique_ptr<char, decltype(&g_free)> text(
        gtk_text_buffer_get_text(TenvarixCryptoWindowFilePfadBuffer, &start, &end, TRUE), g_free);
    return text.get();
}

int crypt_run()
{
    put_message("");
    if (!drain_and_go_on())
        return 1;

    const SecretBytes key(std::string_view(gtk_entry_get_text(GTK_ENTRY(LEdit_TenvarixCryptoWindowKey))));
    const int verdict = ValidateKey(key.c_str());
    const std::string refusal = KeyVerdictMessage(verdict, gderidentischbuchstabe);
    if (!refusal.empty()) {
        put_message(refusal);
        return 1;
    }

    FileList list(file_list_copy());
    std::string path;
    while (list.next(path)) {
        reset_progress_flags();
        std::optional<InputFile> input = OpenInputFile(path);
        const CryptOutcome outcome = input ? doCryptFile(path, std::move(*input), key.view())
                                           : CryptOutcome::InFileNotFound;
        if (outcome == CryptOutcome::Cancelled)
            return 1;
        if (outcome != CryptOutcome::Done) {
            put_message(CryptOutcomeMessage(outcome));
            return 1;
        }
    }
    return 0;
}

} // namespace

CryptOutcome doCryptFile(const std::string &path, InputFile input, std::string_view key)
{
    // Between the progress steps the window is kept alive by drains.
    TransformOptions options;
    options.tick = drain_and_go_on;
    return TransformFile(std::move(input), MakeOutFileName(path), key, show_progress, options);
}

int doTenvarixCrypto()
{
    struct Running {
        Running() { grunningcrypt = 1, gcancelcrypt = 0; }
        ~Running() { grunningcrypt = 0; }
    } running;
    return crypt_run();
}
