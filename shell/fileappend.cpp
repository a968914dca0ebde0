// SPDX-License-Identifier: GPL-3.0-or-later
// Text added to the end of the file list: chosen, dropped and named files.
// Folders are listed on a worker thread and their files inserted in slices
// from the main loop, so that the window answers throughout; whatever is
// added meanwhile waits its turn behind them.
#include "fileappend.h"

#include "filelistlines.h"
#include "window.h"

#include <cstring>
#include <deque>
#include <memory>
#include <utility>

namespace {

// Text still to be inserted, in the order it was added.
struct Pending {
    std::uint64_t id = 0;
    std::string text;
    std::size_t inserted = 0;
    bool ready = true; // false while its folders are being listed
};

struct Filling {
    std::deque<Pending> queue;
    std::uint64_t last_id = 0;
    GtkTextBuffer *buffer = nullptr; // watched: when it goes, so does the queue
    GCancellable *cancellable = nullptr;
    guint idle = 0;
    // What to do once everything queued is in (a Crypt pressed meanwhile).
    void (*when_filled)() = nullptr;
};
Filling filling;

// Insertion runs in slices of about this length, with the window's events in
// between; a slice ends at a line's end.
constexpr std::size_t kSliceBytes = 16 * 1024;
constexpr gint64 kSliceTimeUs = 8000;

void insert_at_end(const char *text, std::size_t length)
{
    GtkTextIter end;
    gtk_text_buffer_get_end_iter(TenvarixCryptoWindowFilePfadBuffer, &end);
    // A path typed without Return would otherwise take the first new path
    // onto its line, and the two would name no file.
    GtkTextIter last = end;
    if (gtk_text_iter_backward_char(&last) && gtk_text_iter_get_char(&last) != '\n')
        gtk_text_buffer_insert(TenvarixCryptoWindowFilePfadBuffer, &end, "\n", 1);
    gtk_text_buffer_insert(TenvarixCryptoWindowFilePfadBuffer, &end, text, int(length));
}

void forget_queue()
{
    filling.queue.clear();
    filling.when_filled = nullptr;
    if (filling.idle)
        g_source_remove(filling.idle);
    filling.idle = 0;
    if (filling.cancellable) {
        g_cancellable_cancel(filling.cancellable);
        g_clear_object(&filling.cancellable);
    }
}

void buffer_gone(gpointer, GObject *)
{
    filling.buffer = nullptr;
    forget_queue();
}

gboolean insert_more(gpointer);

// Inserts what is ready, in order, until a slice's time is up; the rest
// follows from an idle callback, after the window's events and drawing.
void insert_pending()
{
    const gint64 until = g_get_monotonic_time() + kSliceTimeUs;
    while (!filling.queue.empty()) {
        Pending &front = filling.queue.front();
        if (!front.ready)
            return; // its worker's result starts the insertion again
        while (front.inserted < front.text.size()) {
            if (g_get_monotonic_time() >= until) {
                if (!filling.idle)
                    filling.idle = g_idle_add(insert_more, nullptr);
                return;
            }
            std::size_t end = front.text.find('\n', front.inserted + kSliceBytes);
            end = end == std::string::npos ? front.text.size() : end + 1;
            insert_at_end(front.text.data() + front.inserted, end - front.inserted);
            front.inserted = end;
        }
        filling.queue.pop_front();
    }
    // Last, as it may run a whole crypt run with the main loop.
    if (void (*action)() = std::exchange(filling.when_filled, nullptr))
        action();
}

gboolean insert_more(gpointer)
{
    filling.idle = 0;
    insert_pending();
    return G_SOURCE_REMOVE;
}

// Takes text into the queue for the current file list.
Pending &queue_text(std::string text, bool ready)
{
    if (filling.buffer != TenvarixCryptoWindowFilePfadBuffer) {
        if (filling.buffer)
            g_object_weak_unref(G_OBJECT(filling.buffer), buffer_gone, nullptr);
        forget_queue();
        filling.buffer = TenvarixCryptoWindowFilePfadBuffer;
        g_object_weak_ref(G_OBJECT(filling.buffer), buffer_gone, nullptr);
    }
    if (!filling.cancellable)
        filling.cancellable = g_cancellable_new();
    filling.queue.push_back(Pending{++filling.last_id, std::move(text), 0, ready});
    return filling.queue.back();
}

void delete_text(gpointer text)
{
    std::unique_ptr<std::string> owned(static_cast<std::string *>(text));
}

void list_folders(GTask *task, gpointer, gpointer lines, GCancellable *cancellable)
{
    auto listed = std::make_unique<std::string>(TenvarixCryptoFileListLinesWithFolderFiles(
        *static_cast<const std::string *>(lines), cancellable));
    g_task_return_pointer(task, listed.release(), delete_text);
}

void folders_listed(GObject *, GAsyncResult *result, gpointer id)
{
    std::unique_ptr<std::string> listed(
        static_cast<std::string *>(g_task_propagate_pointer(G_TASK(result), nullptr)));
    if (!listed)
        return; // cancelled with the file list it was meant for
    for (Pending &pending : filling.queue) {
        if (pending.id == GPOINTER_TO_SIZE(id)) {
            pending.text = std::move(*listed);
            pending.ready = true;
            insert_pending();
            return;
        }
    }
}

} // namespace

void TenvarixCryptoAppendToFileList(const char *text)
{
    if (!*text)
        return;
    if (filling.queue.empty() || filling.buffer != TenvarixCryptoWindowFilePfadBuffer)
        insert_at_end(text, std::strlen(text));
    else
        queue_text(text, true);
}

void TenvarixCryptoAppendFilesToFileList(const char *lines)
{
    if (!*lines)
        return;
    Pending &pending = queue_text(std::string(), false);
    GTask *task =
        g_task_new(nullptr, filling.cancellable, folders_listed, GSIZE_TO_POINTER(pending.id));
    g_task_set_task_data(task, std::make_unique<std::string>(lines).release(), delete_text);
    g_task_run_in_thread(task, list_folders);
    g_object_unref(task);
}

bool TenvarixCryptoFileListIsFilling()
{
    return !filling.queue.empty() && filling.buffer == TenvarixCryptoWindowFilePfadBuffer;
}

void TenvarixCryptoWhenFileListFilled(void (*action)())
{
    if (TenvarixCryptoFileListIsFilling())
        filling.when_filled = action;
    else
        action();
}
