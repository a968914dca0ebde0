// SPDX-License-Identifier: GPL-3.0-or-later
// The crypt run as the window drives it: reads the key and the file list,
// starts the run's worker and, while the main loop goes on, shows on the
// progress bar what the worker reports.
#include "windowrun.h"

#include "dispatch.h"
#include "window.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <optional>
#include <utility>

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
// The window takes what the worker reported in steps of this many
// milliseconds, so that a run of many small files is not held up by
// hand-overs...
constexpr guint kShowPeriod = 10;
// ...and shows it on the bar at most every 40 ms (µs here), the first Start
// and the run's end at once: every change of the bar costs a layout of the
// window and its round trips to the display, and 25 a second are as many as
// a count can be read at.
constexpr gint64 kBarPeriod = 40 * 1000;
// How long a stopped run may take before a worker held up by its disk is
// let go of, so that Cancel and the end signals end the program promptly.
// Letting go ends all writing in the process, so tests that go on after a
// stop wait longer (TenvarixCryptoSetLetGoAfter).
gint64 let_go_after = 100 * 1000; // microseconds
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
// accessible description; without a reason both are cleared. Left alone
// when it already says so, as the run's first call mostly finds it.
void put_message(const std::string &text, const std::string &reason = {})
{
    GtkWidget *label = Label_TenvarixCryptoWindowMessage;
    g_autofree char *tooltip = gtk_widget_get_tooltip_text(label);
    if (text == gtk_label_get_text(GTK_LABEL(label)) && reason == (tooltip ? tooltip : ""))
        return;
    gtk_label_set_text(GTK_LABEL(label), text.c_str());
    gtk_widget_set_tooltip_text(label, reason.empty() ? nullptr : reason.c_str());
    atk_object_set_description(gtk_widget_get_accessible(label), reason.c_str());
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

// What the worker has reported and the window not yet shown. Taken from a
// timeout callback, so that the bar follows the run in whatever loop runs (the
// file chooser's too).
struct Shown {
    CryptRun *run = nullptr;
    std::size_t files = 0;
    std::atomic<bool> queued{false};
    // Callbacks added and not yet run: the run's end waits for them.
    std::atomic<int> outstanding{0};
    // Taken and not yet shown: the steps after the Start that shows the bar
    // wait until it has been painted, or ~100 ms have passed.
    std::vector<RunReport> pending;
    guint unpainted = 0;    // that wait's timer
    gint64 bar_changed = 0; // when the bar was last changed
    guint later = 0;        // the timer that shows the steps held back
    bool taken_all = false, ended = false;
    CryptOutcome outcome = CryptOutcome::Done;
    std::size_t file = 0;
    int error = 0;    // a failure's errno
    std::string path; // and the name it concerns
    // The path whose Start the bar showed last, if any.
    std::optional<std::size_t> started;
};

void remove_timer(guint &timer)
{
    if (timer)
        g_source_remove(std::exchange(timer, 0));
}

// Shows the steps taken, up to the Start that shows the bar; once the run
// has ended and every step is shown, `ended` is set.
void show_pending(Shown &shown)
{
    GtkWidget *bar = ProgressBar_TenvarixCryptoWindow;
    std::size_t shown_steps = 0;
    // Of the files whose steps came together, the bar shows the last one's:
    // those before it ended in the same moment, too soon to be seen.
    if (!shown.unpainted && !gcancelcrypt && gtk_widget_get_visible(bar)) {
        for (std::size_t i = shown.pending.size(); i-- > 0;)
            if (shown.pending[i].step.kind == ProgressStep::Start) {
                shown_steps = i;
                break;
            }
    }
    while (shown_steps < shown.pending.size() && (!shown.unpainted || gcancelcrypt)) {
        const RunReport &report = shown.pending[shown_steps++];
        // Once the run is asked to stop, the bar stays where it was.
        if (gcancelcrypt)
            continue;
        if (report.step.kind == ProgressStep::Start)
            shown.started = report.file;
        const bool hidden = !gtk_widget_get_visible(bar);
        doCryptFile(report.step, report.file, shown.files);
        if (hidden && gtk_widget_get_visible(bar) && gtk_widget_get_mapped(TenvarixCryptoWindow))
            shown.unpainted = g_timeout_add(
                100,
                +[](gpointer data) {
                    static_cast<Shown *>(data)->unpainted = 0;
                    return G_SOURCE_REMOVE;
                },
                &shown);
    }
    shown.pending.erase(shown.pending.begin(), shown.pending.begin() + long(shown_steps));
    shown.ended = shown.taken_all && shown.pending.empty();
}

// Shows the steps taken once the bar's period is over, else holds them back
// until then.
void show_when_due(Shown &shown)
{
    const gint64 now = g_get_monotonic_time();
    const gint64 wait = shown.bar_changed + kBarPeriod - now;
    if (wait > 0 && shown.started && !shown.taken_all && !gcancelcrypt) {
        if (!shown.later)
            shown.later = g_timeout_add(
                guint(wait / 1000 + 1),
                +[](gpointer data) {
                    auto *held = static_cast<Shown *>(data);
                    held->later = 0;
                    show_when_due(*held);
                    return G_SOURCE_REMOVE;
                },
                &shown);
        return;
    }
    remove_timer(shown.later);
    shown.bar_changed = now;
    show_pending(shown);
}

gboolean show_reports(gpointer data)
{
    auto *shown = static_cast<Shown *>(data);
    --shown->outstanding;
    // Cleared before taking: a step reported after the take queues anew.
    shown->queued = false;
    RunTaken taken = shown->run->take();
    shown->pending.insert(shown->pending.end(), taken.reports.begin(), taken.reports.end());
    if (taken.end) {
        shown->taken_all = true;
        shown->outcome = taken.end->outcome;
        shown->file = taken.end->file;
        shown->error = taken.end->error;
        shown->path = std::move(taken.end->path);
    }
    show_when_due(*shown);
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
// asked for; the steps after the bar's first Start are shown once the bar has
// been painted (or its wait is over). A worker then held up by a read that a very slow disk keeps
// waiting, with nothing of its own to commit, is not waited for: false, and
// the program ends now, with no temporary file left.
bool follow_run(CryptRun &run, Shown &shown)
{
    const gulong painted =
        g_signal_connect_after(ProgressBar_TenvarixCryptoWindow, "draw",
                               G_CALLBACK(+[](GtkWidget *, cairo_t *, gpointer data) {
                                   remove_timer(static_cast<Shown *>(data)->unpainted);
                                   return FALSE;
                               }),
                               &shown);
    gint64 stop_asked = 0;
    guint ticker = 0;
    bool let_go = false;
    while (!shown.ended && !let_go) {
        if (gcancelcrypt && !stop_asked) {
            run.stop();
            stop_asked = g_get_monotonic_time();
            ticker = g_timeout_add(
                20, +[](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
        } else if (stop_asked && g_get_monotonic_time() - stop_asked > let_go_after &&
                   run.abandon()) {
            EndWritingForExit();
            shown.outcome = CryptOutcome::Cancelled;
            let_go = true;
        } else if (!shown.pending.empty() && !shown.later && (!shown.unpainted || gcancelcrypt)) {
            show_when_due(shown);
        } else {
            g_main_context_iteration(nullptr, TRUE);
        }
    }
    if (ticker)
        g_source_remove(ticker);
    remove_timer(shown.unpainted);
    remove_timer(shown.later);
    g_signal_handler_disconnect(ProgressBar_TenvarixCryptoWindow, painted);
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
    if (step.kind == ProgressStep::Start)
        gtk_widget_show(GTK_WIDGET(bar));
}

void TenvarixCryptoSetRunOptions(TransformOptions options)
{
    run_options = std::move(options);
}

void TenvarixCryptoSetLetGoAfter(gint64 microseconds)
{
    let_go_after = microseconds;
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
