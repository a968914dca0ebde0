// SPDX-License-Identifier: GPL-3.0-or-later
// The crypt run as the window drives it: reads the key and the file list,
// starts the run's worker and, while the main loop goes on, shows on the
// progress bar what the worker reports.
#include "windowrun.h"

#include "shell.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <optional>

int gprozentflag10, gprozentflag20, gprozentflag30, gprozentflag40, gprozentflag50, gprozentflag60,
    gprozentflag70, gprozentflag80, gprozentflag90;
int grefreshprogressbar;
int grunningcrypt;
int gcancelcrypt;

namespace {

int *const kProgressFlags[] = {&gprozentflag10, &gprozentflag20, &gprozentflag30,
                               &gprozentflag40, &gprozentflag50, &gprozentflag60,
                               &gprozentflag70, &gprozentflag80, &gprozentflag90};

// The run under way, for the handlers that stop it.
CryptRun *active_run = nullptr;
// The bar follows the run in steps of this many milliseconds: each wake of
// the window's thread shows what was reported meanwhile, so that a run of
// many small files is not held up by hand-overs.
constexpr guint kShowPeriod = 10;
// How long a stopped run may take before a worker held up by its disk is
// let go of, so that Cancel and the end signals end the program promptly.
constexpr gint64 kLetGoAfter = 100 * 1000; // microseconds
// How runs read their inputs; tests slow them down.
TransformOptions run_options;

void reset_progress_flags()
{
    for (int *flag : kProgressFlags)
        *flag = 0;
    grefreshprogressbar = 0;
}

// The message line's text, and the reason behind it (the path a failure
// concerns and the system's text for its error) as the line's tooltip and
// accessible description; without a reason both are cleared.
void put_message(const std::string &text, const std::string &reason = {})
{
    GtkWidget *label = Label_TenvarixCryptoWindowMessage;
    gtk_label_set_text(GTK_LABEL(label), text.c_str());
    gtk_widget_set_tooltip_text(label, reason.empty() ? nullptr : reason.c_str());
    atk_object_set_description(gtk_widget_get_accessible(label), reason.c_str());
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
    const gulong drawn =
        g_signal_connect_after(bar, "draw", G_CALLBACK(+[](GtkWidget *, cairo_t *, gpointer p) {
                                   static_cast<Wait *>(p)->painted = true;
                                   return FALSE;
                               }),
                               &wait);
    const guint timer = g_timeout_add(
        100,
        +[](gpointer p) {
            static_cast<Wait *>(p)->late = true;
            return G_SOURCE_REMOVE;
        },
        &wait);
    gtk_widget_queue_draw(bar);
    while (!wait.painted && !wait.late && !gcancelcrypt)
        g_main_context_iteration(nullptr, TRUE);
    if (!wait.late)
        g_source_remove(timer);
    g_signal_handler_disconnect(bar, drawn);
}

std::string file_list_copy()
{
    GtkTextIter start, end;
    gtk_text_buffer_get_start_iter(TenvarixCryptoWindowFilePfadBuffer, &start);
    gtk_text_buffer_get_end_iter(TenvarixCryptoWindowFilePfadBuffer, &end);
    g_autofree char *text =
        gtk_text_buffer_get_text(TenvarixCryptoWindowFilePfadBuffer, &start, &end, TRUE);
    return text;
}

// What the worker has reported and the window not yet shown. Applied from a
// timeout callback, so that the bar follows the run in whatever loop runs (the
// file chooser's too).
struct Shown {
    CryptRun *run = nullptr;
    std::size_t files = 0;
    std::atomic<bool> queued{false};
    // Callbacks added and not yet run: the run's end waits for them.
    std::atomic<int> outstanding{0};
    bool showing = false, missed = false;
    bool ended = false;
    CryptOutcome outcome = CryptOutcome::Done;
    std::size_t file = 0;
    int error = 0;    // a failure's errno
    std::string path; // and the name it concerns
    // The path whose Start the bar showed last, if any.
    std::optional<std::size_t> started;
};

gboolean show_reports(gpointer data)
{
    auto *shown = static_cast<Shown *>(data);
    --shown->outstanding;
    // Showing the first step runs the main loop until the bar is painted; a
    // call meanwhile leaves its steps to this one, which takes them after.
    if (shown->showing) {
        shown->missed = true;
        return G_SOURCE_REMOVE;
    }
    shown->showing = true;
    do {
        shown->missed = false;
        // Cleared before taking: a step reported after the take queues anew.
        shown->queued = false;
        const RunTaken taken = shown->run->take();
        // Once the run is asked to stop, the bar stays where it was.
        for (const RunReport &report : taken.reports) {
            if (gcancelcrypt)
                continue;
            if (report.step.kind == ProgressStep::Start)
                shown->started = report.file;
            doCryptFile(report.step, report.file, shown->files);
        }
        if (taken.end) {
            shown->outcome = taken.end->outcome;
            shown->file = taken.end->file;
            shown->error = taken.end->error;
            shown->path = taken.end->path;
        }
        shown->ended = taken.end.has_value();
    } while (shown->missed);
    shown->showing = false;
    return G_SOURCE_REMOVE;
}

// Selects the line of the path at index `file` in the file list and scrolls
// it into view, its text untouched. The lines are found as FileList splits
// them (at '\n' only), not as the buffer counts lines.
void select_file_list_line(std::size_t file)
{
    const std::string text = file_list_copy();
    std::size_t begin = 0;
    for (std::size_t i = 0; i < file; ++i) {
        const std::size_t newline = text.find('\n', begin);
        if (newline == std::string::npos)
            return; // the list was shortened meanwhile
        begin = newline + 1;
    }
    const std::size_t end = std::min(text.find('\n', begin), text.size());
    GtkTextBuffer *buffer = TenvarixCryptoWindowFilePfadBuffer;
    GtkTextIter from, to;
    gtk_text_buffer_get_iter_at_offset(
        buffer, &from, int(g_utf8_pointer_to_offset(text.c_str(), text.c_str() + begin)));
    gtk_text_buffer_get_iter_at_offset(
        buffer, &to, int(g_utf8_pointer_to_offset(text.c_str(), text.c_str() + end)));
    // The cursor at the line's start, so that the view shows where the path begins.
    gtk_text_buffer_select_range(buffer, &from, &to);
    GtkTextView *view = GTK_TEXT_VIEW(MEdit_TenvarixCryptoWindowFilePfad);
    gtk_widget_grab_focus(GTK_WIDGET(view));
    gtk_text_view_scroll_to_mark(view, gtk_text_buffer_get_insert(buffer), 0.0, FALSE, 0.0, 0.0);
}

// After a run stopped at a path, the bar names it as its Start does ("3 of
// 5"), also when the path failed before its Start (a bar of one path names
// none), and its line in the list is selected, so that the user can fix or
// remove it and crypt again.
void show_stopping_file(const Shown &shown)
{
    if (shown.files > 1 && shown.started != shown.file)
        doCryptFile(ProgressStep{ProgressStep::Start, 0, 0.0, 0}, shown.file, shown.files);
    select_file_list_line(shown.file);
}

// The key and the list's paths; false, with the refusal shown, for a key
// that fails its rules.
bool read_key_and_list(SecretBytes *key, std::vector<std::string> *paths)
{
    *key =
        SecretBytes(std::string_view(gtk_entry_get_text(GTK_ENTRY(LEdit_TenvarixCryptoWindowKey))));
    const int verdict = ValidateKey(key->c_str());
    const std::string refusal = KeyVerdictMessage(verdict, gderidentischbuchstabe);
    if (!refusal.empty()) {
        put_message(refusal);
        return false;
    }
    FileList list(file_list_copy());
    for (std::string path; list.next(path);)
        paths->push_back(path);
    return true;
}

// Runs the main loop until the run has ended, stopping it once a cancel is
// asked for. A worker then held up by a read that a very slow disk keeps
// waiting, with nothing of its own to commit, is not waited for: false, and
// the program ends now, with no temporary file left.
bool follow_run(CryptRun &run, Shown &shown)
{
    gint64 stop_asked = 0;
    guint ticker = 0;
    bool let_go = false;
    while (!shown.ended && !let_go) {
        if (gcancelcrypt && !stop_asked) {
            run.stop();
            stop_asked = g_get_monotonic_time();
            ticker = g_timeout_add(
                20, +[](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
        } else if (stop_asked && g_get_monotonic_time() - stop_asked > kLetGoAfter &&
                   run.abandon()) {
            EndWritingForExit();
            shown.outcome = CryptOutcome::Cancelled;
            let_go = true;
        } else {
            g_main_context_iteration(nullptr, TRUE);
        }
    }
    if (ticker)
        g_source_remove(ticker);
    return !let_go;
}

int crypt_run()
{
    put_message("");
    TenvarixCryptoDrainEvents();
    if (gcancelcrypt)
        return 1;
    SecretBytes key;
    std::vector<std::string> paths;
    if (!read_key_and_list(&key, &paths))
        return 1;
    if (paths.empty())
        return 0;

    Shown shown;
    shown.files = paths.size();
    // The worker asks for the reports to be shown; the window's thread never
    // waits for it, it only runs the main loop.
    CryptRun run(
        std::move(paths), key.view(),
        [&shown] {
            if (!shown.queued.exchange(true)) {
                ++shown.outstanding;
                g_timeout_add(kShowPeriod, show_reports, &shown);
            }
        },
        run_options);
    shown.run = &run;
    active_run = &run;
    const bool waited_for = follow_run(run, shown);
    active_run = nullptr;
    // A callback queued after the last one must not find the run gone.
    while (shown.outstanding > 0)
        g_main_context_iteration(nullptr, TRUE);
    // A close, Cancel or end signal that reached the window while the run
    // ended (a short run can end in the very iteration that shows its start)
    // is still queued: it is handled while the run counts as running, so that
    // it stops the run rather than being dropped with the window.
    if (waited_for)
        TenvarixCryptoDrainEvents();

    if (shown.outcome == CryptOutcome::Done)
        return 0;
    // The message line keeps its short text; why, and of which file, goes
    // to stderr and to the line's tooltip. The paths come from the file
    // list, so they are UTF-8 as a tooltip needs.
    std::string reason;
    if (shown.error != 0) {
        reason = shown.path + ": " + g_strerror(shown.error);
        std::fprintf(stderr, "tenvarix-crypto: %s\n", reason.c_str());
    }
    put_message(CryptOutcomeMessage(shown.outcome), reason);
    if (shown.outcome != CryptOutcome::Cancelled && !gcancelcrypt)
        show_stopping_file(shown);
    return 1;
}

} // namespace

void doCryptFile(const ProgressStep &step, std::size_t file, std::size_t files)
{
    GtkProgressBar *bar = GTK_PROGRESS_BAR(ProgressBar_TenvarixCryptoWindow);
    if (step.kind == ProgressStep::Start) {
        reset_progress_flags();
        // With more than one path the bar tells which is under way.
        g_autofree char *count =
            files > 1 ? g_strdup_printf("%zu of %zu", file + 1, files) : g_strdup("");
        gtk_progress_bar_set_text(bar, files > 1 ? count : nullptr);
        gtk_progress_bar_set_show_text(bar, files > 1);
        atk_object_set_description(gtk_widget_get_accessible(GTK_WIDGET(bar)), count);
    }
    if (step.kind == ProgressStep::Milestone) {
        for (int i = 0; i < step.milestones; ++i)
            *kProgressFlags[i] = 1;
        grefreshprogressbar = 1;
    }
    gtk_progress_bar_set_fraction(bar, step.fraction);
    grefreshprogressbar = 0;
    if (step.kind == ProgressStep::Start && !gtk_widget_get_visible(GTK_WIDGET(bar))) {
        gtk_widget_show(GTK_WIDGET(bar));
        paint_bar_now();
    }
}

void TenvarixCryptoSetRunOptions(TransformOptions options)
{
    run_options = std::move(options);
}

void TenvarixCryptoStopRun()
{
    gcancelcrypt = 1;
    if (active_run)
        active_run->stop();
}

void TenvarixCryptoKeepDoneFiles()
{
    TenvarixCryptoStopRun();
    if (active_run)
        active_run->end_for_exit();
}

int doTenvarixCrypto()
{
    struct Running {
        Running() { grunningcrypt = 1, gcancelcrypt = 0; }
        ~Running() { grunningcrypt = 0; }
    } running;
    return crypt_run();
}
