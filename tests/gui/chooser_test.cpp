// SPDX-License-Identifier: GPL-3.0-or-later
// Select File in-process: a repeating timeout finds the modal chooser, opens
// a temporary folder in it, selects files there and answers the dialog.
#include "gui_support.h"

#include "crypt/crypt.h"
#include "files.h"

#include <glib/gstdio.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

// A temporary folder with the named empty files; removed again at the end.
class TempFolder {
public:
    explicit TempFolder(const std::vector<std::string> &names) : names_(names)
    {
        char *dir = g_dir_make_tmp("chooser-XXXXXX", nullptr);
        path_ = dir;
        g_free(dir);
        for (const std::string &name : names_)
            g_file_set_contents(file(name).c_str(), "x", 1, nullptr);
    }
    ~TempFolder()
    {
        for (const std::string &name : names_)
            g_remove(file(name).c_str());
        g_rmdir(path_.c_str());
    }
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::vector<std::string> names_;
    std::string path_;
};

enum class Answer { Accept, Cancel, Escape, CloseWindow };

struct Chooser {
    std::string folder;
    std::set<std::string> wanted; // absolute paths to select
    Answer answer = Answer::Accept;

    GtkWidget *dialog = nullptr;
    bool folder_set = false;
    bool selected = false;
    bool answered = false;
    std::vector<std::string> toolkit_names; // the chooser's own list at the answer
    gint64 deadline = 0;

    // Properties seen while the dialog was up.
    std::string title;
    GtkWindow *transient_for = nullptr;
    GtkFileChooserAction action = GTK_FILE_CHOOSER_ACTION_SAVE;
    bool select_multiple = false;
    std::vector<std::string> button_labels; // in packing order
    std::vector<int> button_responses;
    bool has_filters = true;
    bool has_preview = true;
};

GtkWidget *find_dialog()
{
    GtkWidget *found = nullptr;
    GList *toplevels = gtk_window_list_toplevels();
    for (GList *l = toplevels; l; l = l->next)
        if (GTK_IS_FILE_CHOOSER_DIALOG(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data)))
            found = GTK_WIDGET(l->data);
    g_list_free(toplevels);
    return found;
}

// Depth-first search through internal children too.
GtkWidget *find_descendant(GtkWidget *widget, GType type)
{
    if (G_TYPE_CHECK_INSTANCE_TYPE(widget, type))
        return widget;
    if (!GTK_IS_CONTAINER(widget))
        return nullptr;
    struct Search {
        GType type;
        GtkWidget *found;
    } search{type, nullptr};
    gtk_container_forall(
        GTK_CONTAINER(widget),
        [](GtkWidget *child, gpointer p) {
            auto *s = static_cast<Search *>(p);
            if (!s->found)
                s->found = find_descendant(child, s->type);
        },
        &search);
    return search.found;
}

void record_properties(Chooser &c)
{
    c.title = gtk_window_get_title(GTK_WINDOW(c.dialog));
    c.transient_for = gtk_window_get_transient_for(GTK_WINDOW(c.dialog));
    GtkFileChooser *fc = GTK_FILE_CHOOSER(c.dialog);
    c.action = gtk_file_chooser_get_action(fc);
    c.select_multiple = gtk_file_chooser_get_select_multiple(fc);
    GSList *filters = gtk_file_chooser_list_filters(fc);
    c.has_filters = filters != nullptr;
    g_slist_free(filters);
    c.has_preview = gtk_file_chooser_get_preview_widget(fc) != nullptr;
    GtkWidget *cancel =
        gtk_dialog_get_widget_for_response(GTK_DIALOG(c.dialog), GTK_RESPONSE_CANCEL);
    if (!cancel)
        return;
    GList *buttons = gtk_container_get_children(GTK_CONTAINER(gtk_widget_get_parent(cancel)));
    for (GList *l = buttons; l; l = l->next) {
        if (!GTK_IS_BUTTON(l->data))
            continue;
        c.button_labels.push_back(gtk_button_get_label(GTK_BUTTON(l->data)));
        c.button_responses.push_back(
            gtk_dialog_get_response_for_widget(GTK_DIALOG(c.dialog), GTK_WIDGET(l->data)));
    }
    g_list_free(buttons);
}

// Selects the wanted files once the folder shows all of them; false while it is loading.
bool select_wanted(Chooser &c)
{
    GtkWidget *view = find_descendant(c.dialog, GTK_TYPE_TREE_VIEW);
    GtkTreeModel *model = view ? gtk_tree_view_get_model(GTK_TREE_VIEW(view)) : nullptr;
    if (!model)
        return false;
    int file_column = -1;
    for (int i = 0; i < gtk_tree_model_get_n_columns(model); ++i)
        if (gtk_tree_model_get_column_type(model, i) == G_TYPE_FILE)
            file_column = i;
    if (file_column < 0)
        return false;
    std::vector<GtkTreeIter> rows;
    GtkTreeIter iter;
    for (bool ok = gtk_tree_model_get_iter_first(model, &iter); ok;
         ok = gtk_tree_model_iter_next(model, &iter)) {
        GFile *file = nullptr;
        gtk_tree_model_get(model, &iter, file_column, &file, -1);
        char *path = file ? g_file_get_path(file) : nullptr;
        if (path && c.wanted.count(path))
            rows.push_back(iter);
        g_free(path);
        if (file)
            g_object_unref(file);
    }
    if (rows.size() != c.wanted.size())
        return false;
    GtkTreeSelection *selection = gtk_tree_view_get_selection(GTK_TREE_VIEW(view));
    gtk_tree_selection_unselect_all(selection);
    for (GtkTreeIter &row : rows)
        gtk_tree_selection_select_iter(selection, &row);
    return true;
}

std::vector<std::string> chosen_names(GtkWidget *dialog)
{
    std::vector<std::string> names;
    GSList *list = gtk_file_chooser_get_filenames(GTK_FILE_CHOOSER(dialog));
    for (GSList *l = list; l; l = l->next)
        names.emplace_back(static_cast<char *>(l->data));
    g_slist_free_full(list, g_free);
    return names;
}

void answer(Chooser &c)
{
    c.toolkit_names = chosen_names(c.dialog);
    c.answered = true;
    switch (c.answer) {
    case Answer::Accept: gtk_dialog_response(GTK_DIALOG(c.dialog), GTK_RESPONSE_ACCEPT); break;
    case Answer::Cancel: gtk_dialog_response(GTK_DIALOG(c.dialog), GTK_RESPONSE_CANCEL); break;
    case Answer::Escape: gui::press_key(c.dialog, GDK_KEY_Escape); break;
    case Answer::CloseWindow: {
        GdkEvent *ev = gdk_event_new(GDK_DELETE);
        ev->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(c.dialog)));
        ev->any.send_event = TRUE;
        gtk_main_do_event(ev);
        gdk_event_free(ev);
        break;
    }
    }
}

gboolean drive_chooser(gpointer p)
{
    Chooser &c = *static_cast<Chooser *>(p);
    if (!c.dialog) {
        c.dialog = find_dialog();
        if (!c.dialog)
            return G_SOURCE_CONTINUE;
        record_properties(c);
    }
    if (g_get_monotonic_time() > c.deadline) {
        // Never leave the modal loop hanging; the test then fails on the result.
        gtk_dialog_response(GTK_DIALOG(c.dialog), GTK_RESPONSE_CANCEL);
        return G_SOURCE_REMOVE;
    }
    if (!c.folder_set) {
        c.folder_set =
            gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(c.dialog), c.folder.c_str());
        return G_SOURCE_CONTINUE;
    }
    if (!c.selected) {
        c.selected = select_wanted(c);
        return G_SOURCE_CONTINUE;
    }
    // One more turn after selecting, so the chooser has taken the selection in.
    answer(c);
    return G_SOURCE_REMOVE;
}

// Presses Select File and lets the chooser be driven until it has closed.
Chooser select_files(const TempFolder &folder, const std::vector<std::string> &names,
                     Answer how = Answer::Accept)
{
    Chooser c;
    c.folder = folder.path();
    for (const std::string &name : names)
        c.wanted.insert(folder.file(name));
    c.answer = how;
    c.deadline = g_get_monotonic_time() + 20 * G_USEC_PER_SEC;
    guint source = g_timeout_add(50, drive_chooser, &c);
    TenvarixCryptoDoIt(PBut_TenvarixCryptoWindowSelectFile, nullptr, nullptr);
    if (!c.answered)
        g_source_remove(source);
    gui::drain();
    return c;
}

std::string as_lines(const std::vector<std::string> &paths)
{
    std::string text;
    for (const std::string &p : paths)
        text += p + "\n";
    return text;
}

class ChooserTest : public gui::WindowTest {};

TEST_F(ChooserTest, the_dialog_opens_existing_files_several_at_once_over_the_window)
{
    TempFolder folder({"one"});
    Chooser c = select_files(folder, {"one"}, Answer::Cancel);
    ASSERT_TRUE(c.answered);
    EXPECT_EQ(c.title, "Select File/s ...");
    EXPECT_EQ(c.transient_for, GTK_WINDOW(TenvarixCryptoWindow));
    EXPECT_EQ(c.action, GTK_FILE_CHOOSER_ACTION_OPEN);
    EXPECT_TRUE(c.select_multiple);
    EXPECT_EQ(c.button_labels, (std::vector<std::string>{"_Cancel", "_Accept"}));
    EXPECT_EQ(c.button_responses, (std::vector<int>{GTK_RESPONSE_CANCEL, GTK_RESPONSE_ACCEPT}));
    EXPECT_FALSE(c.has_filters);
    EXPECT_FALSE(c.has_preview);
    EXPECT_EQ(find_dialog(), nullptr) << "the dialog is destroyed after its answer";
}

TEST_F(ChooserTest, accepting_one_file_appends_its_absolute_path_and_a_newline)
{
    TempFolder folder({"plain.txt"});
    Chooser c = select_files(folder, {"plain.txt"});
    ASSERT_TRUE(c.answered);
    EXPECT_TRUE(g_path_is_absolute(folder.path().c_str()));
    EXPECT_EQ(gui::file_list_text(), folder.file("plain.txt") + "\n");
    EXPECT_EQ(gFileName, nullptr);
    EXPECT_EQ(find_dialog(), nullptr);
}

TEST_F(ChooserTest, accepting_three_files_appends_three_lines_in_the_toolkits_order)
{
    TempFolder folder({"c-third", "a-first", "b-second"});
    Chooser c = select_files(folder, {"c-third", "a-first", "b-second"});
    ASSERT_TRUE(c.answered);
    ASSERT_EQ(c.toolkit_names.size(), 3u);
    std::set<std::string> chosen(c.toolkit_names.begin(), c.toolkit_names.end());
    EXPECT_EQ(chosen, c.wanted);
    EXPECT_EQ(gui::file_list_text(), as_lines(c.toolkit_names));
}

TEST_F(ChooserTest, a_large_selection_arrives_whole_and_in_order)
{
    std::vector<std::string> names;
    names.reserve(120);
    for (int i = 0; i < 120; ++i)
        names.push_back(std::string(90, 'n') + "-" + std::to_string(1000 + i));
    TempFolder folder(names);
    Chooser c = select_files(folder, names);
    ASSERT_TRUE(c.answered);
    ASSERT_EQ(c.toolkit_names.size(), names.size());
    EXPECT_EQ(gui::file_list_text(), as_lines(c.toolkit_names));
}

TEST_F(ChooserTest, a_name_with_spaces_and_non_ascii_bytes_arrives_byte_for_byte)
{
    const std::string name = "r\xC3\xA9sum\xC3\xA9 of the \xE2\x82\xAC \xC3\xBC"
                             "ber  plan.txt";
    TempFolder folder({name});
    Chooser c = select_files(folder, {name});
    ASSERT_TRUE(c.answered);
    EXPECT_EQ(gui::file_list_text(), folder.file(name) + "\n");
}

TEST_F(ChooserTest, a_name_the_file_list_cannot_hold_does_not_swallow_the_others)
{
    const std::string latin1 = "caf\xE9";
    TempFolder folder({latin1, "fine"});
    Chooser c = select_files(folder, {latin1, "fine"});
    ASSERT_TRUE(c.answered);
    ASSERT_EQ(c.toolkit_names.size(), 2u);
    EXPECT_EQ(gui::file_list_text(), folder.file("fine") + "\n");
}

TEST_F(ChooserTest, a_cancel_after_an_accept_leaves_exactly_the_first_choice)
{
    TempFolder folder({"first", "second"});
    ASSERT_TRUE(select_files(folder, {"first"}).answered);
    Chooser c = select_files(folder, {"second"}, Answer::Cancel);
    ASSERT_TRUE(c.answered);
    EXPECT_EQ(gui::file_list_text(), folder.file("first") + "\n");
    EXPECT_EQ(gFileName, nullptr);
}

TEST_F(ChooserTest, escape_and_closing_the_dialog_leave_the_list_unchanged)
{
    TempFolder folder({"kept", "dropped"});
    gtk_text_buffer_set_text(TenvarixCryptoWindowFilePfadBuffer, "/typed/by/hand\n", -1);
    for (Answer how : {Answer::Escape, Answer::CloseWindow}) {
        Chooser c = select_files(folder, {"dropped"}, how);
        ASSERT_TRUE(c.answered);
        EXPECT_EQ(c.toolkit_names, std::vector<std::string>{folder.file("dropped")})
            << "a file was selected when the dialog was dismissed";
        EXPECT_EQ(gui::file_list_text(), "/typed/by/hand\n");
        EXPECT_EQ(gFileName, nullptr);
        EXPECT_EQ(find_dialog(), nullptr);
    }
}

// Two paths on one line would name nothing: the chosen ones start a new line.
TEST_F(ChooserTest, a_last_line_without_newline_is_ended_before_the_chosen_paths)
{
    TempFolder folder({"x1", "x2"});
    gtk_text_buffer_set_text(TenvarixCryptoWindowFilePfadBuffer, "/earlier\n/unfinished", -1);
    Chooser c = select_files(folder, {"x1", "x2"});
    ASSERT_TRUE(c.answered);
    ASSERT_EQ(c.toolkit_names.size(), 2u);
    EXPECT_EQ(gui::file_list_text(), "/earlier\n/unfinished\n" + as_lines(c.toolkit_names));
}

TEST_F(ChooserTest, select_file_during_a_run_joins_the_window_list_not_the_run)
{
    TempFolder folder({"data", "picked"});
    const std::string data(300000, 'd');
    const std::string &key = testfiles::kKey;
    g_file_set_contents(folder.file("data").c_str(), data.data(), data.size(), nullptr);
    gtk_entry_set_text(GTK_ENTRY(LEdit_TenvarixCryptoWindowKey), key.c_str());
    gtk_text_buffer_set_text(TenvarixCryptoWindowFilePfadBuffer,
                             (folder.file("data") + "\n").c_str(), -1);

    // A run slow enough to be under way when the chooser opens and closes.
    gui::slow_down_runs();

    // The press arrives while the run works, at the first progress step.
    struct During {
        const TempFolder *folder;
        bool pressed = false;
        Chooser chooser;
    } during{&folder, false, {}};
    gulong id = g_signal_connect(ProgressBar_TenvarixCryptoWindow, "notify::fraction",
                                 G_CALLBACK(+[](GObject *, GParamSpec *, gpointer p) {
                                     auto *d = static_cast<During *>(p);
                                     if (d->pressed)
                                         return;
                                     d->pressed = true;
                                     g_idle_add(
                                         +[](gpointer q) {
                                             auto *e = static_cast<During *>(q);
                                             e->chooser = select_files(*e->folder, {"picked"});
                                             return G_SOURCE_REMOVE;
                                         },
                                         d);
                                 }),
                                 &during);
    EXPECT_EQ(doTenvarixCrypto(), 0);
    TenvarixCryptoSetRunOptions({});
    g_signal_handler_disconnect(ProgressBar_TenvarixCryptoWindow, id);

    EXPECT_TRUE(during.chooser.answered);
    EXPECT_EQ(gui::file_list_text(), folder.file("data") + "\n" + folder.file("picked") + "\n");
    EXPECT_EQ(testfiles::read_file(folder.file("datatenvarixcrypto")),
              testfiles::xor_with(data, key));
    EXPECT_FALSE(testfiles::exists(folder.file("pickedtenvarixcrypto")));
    g_remove(folder.file("datatenvarixcrypto").c_str());
}

} // namespace
