// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui_support.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "crypt/crypt.h"
#include "files.h"

namespace {

using namespace testfiles;

std::string xor_key(const std::string &bytes)
{
    return xor_with(bytes, kKey);
}

class WindowRun : public gui::WindowTest {
protected:
    void SetUp() override
    {
        gui::WindowTest::SetUp();
        fraction_handler_ = g_signal_connect(ProgressBar_TenvarixCryptoWindow, "notify::fraction",
                                             G_CALLBACK(on_fraction), this);
    }

    void TearDown() override
    {
        TenvarixCryptoSetRunOptions({});
        if (window_alive())
            g_signal_handler_disconnect(ProgressBar_TenvarixCryptoWindow, fraction_handler_);
        gui::WindowTest::TearDown();
    }

    std::string path(const std::string &name) const { return scratch_.path(name); }

    // Which path of a longer list the bar says is under way.
    static std::string bar_count()
    {
        const char *text =
            gtk_progress_bar_get_text(GTK_PROGRESS_BAR(ProgressBar_TenvarixCryptoWindow));
        return text ? text : "";
    }

    // Inputs read 64 KiB at a time, 5 ms each: a run of a 1 MiB file lasts
    // long enough for the window to stop it half way.
    static void slow_inputs()
    {
        TransformOptions options;
        options.read = [](int fd, char *buffer, std::size_t n) {
            g_usleep(5000);
            return ::read(fd, buffer, std::min<std::size_t>(n, 64 * 1024));
        };
        TenvarixCryptoSetRunOptions(std::move(options));
    }

    int run(const std::string &key, const std::string &list)
    {
        gtk_entry_set_text(GTK_ENTRY(LEdit_TenvarixCryptoWindowKey), key.c_str());
        gtk_text_buffer_set_text(TenvarixCryptoWindowFilePfadBuffer, list.data(),
                                 static_cast<int>(list.size()));
        fractions_.clear();
        return doTenvarixCrypto();
    }

    static void on_fraction(GObject *bar, GParamSpec *, gpointer self)
    {
        auto *t = static_cast<WindowRun *>(self);
        t->fractions_.push_back(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(bar)));
        t->refresh_flags_.push_back(grefreshprogressbar);
        if (t->during_drain_)
            t->during_drain_();
    }

    testfiles::ScratchDir scratch_;
    std::vector<double> fractions_;
    std::vector<int> refresh_flags_;
    std::function<void()> during_drain_;
    gulong fraction_handler_ = 0;
};

} // namespace

TEST_F(WindowRun, a_refused_key_shows_its_message_and_touches_nothing)
{
    write_file(path("f"), "content");
    const std::pair<std::string, std::string> cases[] = {
        {std::string(13, ' '), "The length of the key is less than 14 characters"},
        {"abcdefghijkAB1", "Lack of punctuation or special character"},
        {"aBaBaBcdef12!?", "Too many identical characters of : a"},
    };
    for (const auto &[key, message] : cases) {
        EXPECT_EQ(run(key, path("f") + "\n"), 1) << key;
        EXPECT_EQ(gui::message_text(), message);
        EXPECT_TRUE(fractions_.empty());
    }
    EXPECT_FALSE(exists(path("ftenvarixcrypto")));
    EXPECT_FALSE(gtk_widget_get_visible(ProgressBar_TenvarixCryptoWindow));
}

TEST_F(WindowRun, the_message_line_clears_when_a_run_starts)
{
    EXPECT_EQ(run("short", ""), 1);
    EXPECT_FALSE(gui::message_text().empty());
    EXPECT_EQ(run(kKey, ""), 0);
    EXPECT_EQ(gui::message_text(), "");
}

TEST_F(WindowRun, the_final_newline_is_optional_and_an_empty_last_line_stops_the_run)
{
    write_file(path("a"), "first file");
    write_file(path("b"), "second");
    EXPECT_EQ(run(kKey, path("a")), 0);
    EXPECT_EQ(read_file(path("atenvarixcrypto")), xor_key("first file"));
    std::remove(path("atenvarixcrypto").c_str());

    EXPECT_EQ(run(kKey, path("a") + "\n" + path("b") + "\n\n"), 1);
    EXPECT_EQ(gui::message_text(), "InFile not found");
    EXPECT_EQ(read_file(path("atenvarixcrypto")), xor_key("first file"));
    EXPECT_EQ(read_file(path("btenvarixcrypto")), xor_key("second"));
}

TEST_F(WindowRun, a_path_that_does_not_open_stops_the_run_there)
{
    write_file(path("one"), "1");
    write_file(path("three"), "3");
    write_file(path("spaced"), "s");
    mkdir(path("dir").c_str(), 0755);
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0644), 0);
    for (const std::string &middle :
         {path("missing"), path("dir"), path("spaced") + " ", path("fifo"), std::string("")}) {
        EXPECT_EQ(run(kKey, path("one") + "\n" + middle + "\n" + path("three") + "\n"), 1)
            << middle;
        EXPECT_EQ(gui::message_text(), "InFile not found");
        EXPECT_TRUE(exists(path("onetenvarixcrypto")));
        EXPECT_FALSE(exists(path("threetenvarixcrypto")));
        EXPECT_FALSE(exists(path("spacedtenvarixcrypto")));
        EXPECT_FALSE(exists(middle + "tenvarixcrypto"));
    }
}

TEST_F(WindowRun, with_more_than_one_path_the_bar_says_which_is_under_way)
{
    write_file(path("a"), "first");
    write_file(path("b"), std::string(300000, 'b'));
    std::vector<std::string> texts;
    during_drain_ = [&] {
        GtkProgressBar *bar = GTK_PROGRESS_BAR(ProgressBar_TenvarixCryptoWindow);
        const char *text = gtk_progress_bar_get_text(bar);
        texts.push_back(gtk_progress_bar_get_show_text(bar) && text ? text : "");
    };
    EXPECT_EQ(run(kKey, path("a") + "\n" + path("b") + "\n"), 0);
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.front(), "1 of 2");
    EXPECT_EQ(texts.back(), "2 of 2");
    // The first file ends as the second starts: the bar moves on to the
    // second, which it shows step by step.
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "2 of 2"),
              long(ProgressSchedule(300000).size()) + 2)
        << "0, the marks, 1";
    EXPECT_STREQ(
        atk_object_get_description(gtk_widget_get_accessible(ProgressBar_TenvarixCryptoWindow)),
        "2 of 2");

    // A run of one path shows the bar as it always did.
    texts.clear();
    EXPECT_EQ(run(kKey, path("a")), 0);
    EXPECT_EQ(texts, std::vector<std::string>(texts.size(), ""));

    // A run that stops names the path that stopped it, also one that never
    // started, and selects its line: the lines as the run splits them (a
    // carriage return inside a name starts no line), the text untouched.
    during_drain_ = nullptr;
    write_file(path("tw\ro"), "2");
    write_file(path("four"), "4");
    const std::string list = path("a") + "\n" + path("tw\ro") + "\n" + path("gone") + "\n" +
                             path("four") + "\n" + path("b") + "\n";
    EXPECT_EQ(run(kKey, list), 1);
    EXPECT_EQ(gui::message_text(), "InFile not found");
    GtkProgressBar *bar = GTK_PROGRESS_BAR(ProgressBar_TenvarixCryptoWindow);
    EXPECT_TRUE(gtk_progress_bar_get_show_text(bar));
    EXPECT_STREQ(gtk_progress_bar_get_text(bar), "3 of 5");
    EXPECT_STREQ(atk_object_get_description(gtk_widget_get_accessible(GTK_WIDGET(bar))), "3 of 5");
    EXPECT_EQ(gui::file_list_text(), list);
    GtkTextIter from, to;
    ASSERT_TRUE(
        gtk_text_buffer_get_selection_bounds(TenvarixCryptoWindowFilePfadBuffer, &from, &to));
    g_autofree char *selected = gtk_text_iter_get_text(&from, &to);
    EXPECT_EQ(selected, path("gone"));
    EXPECT_EQ(gtk_text_iter_get_offset(&from),
              g_utf8_strlen((path("a") + "\n" + path("tw\ro") + "\n").c_str(), -1));
}

TEST_F(WindowRun, a_file_followed_by_its_output_is_written_again_from_its_own_content)
{
    write_file(path("doc"), "the original bytes");
    EXPECT_EQ(run(kKey, path("doc") + "\n" + path("doctenvarixcrypto") + "\n"), 0);
    EXPECT_EQ(read_file(path("doc")), "the original bytes");
    EXPECT_EQ(read_file(path("doctenvarixcrypto")), xor_key("the original bytes"));
}

TEST_F(WindowRun, the_bar_gets_exactly_the_per_byte_fractions)
{
    struct Case {
        std::size_t size;
        std::vector<double> fractions;
    };
    const Case cases[] = {
        {0, {0.0, 1.0}},
        {1, {0.0, 0.5, 1.0}},
        {9, {0.0, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0}},
        {10,
         {0.0, 2 / 11.0, 3 / 11.0, 4 / 11.0, 5 / 11.0, 6 / 11.0, 7 / 11.0, 8 / 11.0, 9 / 11.0,
          10 / 11.0, 1.0}},
    };
    for (const Case &c : cases) {
        write_file(path("p"), std::string(c.size, 'x'));
        EXPECT_EQ(run(kKey, path("p")), 0);
        EXPECT_EQ(fractions_, c.fractions) << "size " << c.size;
        EXPECT_TRUE(gtk_widget_get_visible(ProgressBar_TenvarixCryptoWindow));
    }
    EXPECT_EQ(gprozentflag90, 1);

    write_file(path("p"), std::string(9, 'x'));
    refresh_flags_.clear();
    EXPECT_EQ(run(kKey, path("p")), 0);
    EXPECT_EQ(gprozentflag80, 1);
    EXPECT_EQ(gprozentflag90, 0);
    EXPECT_EQ(refresh_flags_, (std::vector<int>{0, 1, 1, 1, 1, 1, 1, 1, 1, 0}));

    const std::size_t large = 3 * 1024 * 1024 + 5;
    write_file(path("p"), std::string(large, 'x'));
    EXPECT_EQ(run(kKey, path("p")), 0);
    std::vector<double> expected{0.0};
    for (const ProgressStep &s : ProgressSchedule(large))
        expected.push_back(s.fraction);
    expected.push_back(1.0);
    EXPECT_EQ(fractions_, expected);
}

// The message line keeps its short text; the name and the system's reason
// go to stderr and to the line's tooltip and accessible description, until
// the line is cleared.
TEST_F(WindowRun, failures_of_the_output_or_of_reading_are_reported)
{
    GtkWidget *line = Label_TenvarixCryptoWindowMessage;
    auto reason_shown = [line] {
        g_autofree char *tooltip = gtk_widget_get_tooltip_text(line);
        const char *description = atk_object_get_description(gtk_widget_get_accessible(line));
        EXPECT_STREQ(tooltip ? tooltip : "", description ? description : "");
        return std::string(tooltip ? tooltip : "");
    };
    auto run_telling = [this](const std::string &list, std::string *told) {
        testing::internal::CaptureStderr();
        const int result = run(kKey, list);
        *told = testing::internal::GetCapturedStderr();
        return result;
    };
    std::string told;
    write_file(path("tenvarixcrypto"), "bare marker");
    EXPECT_EQ(run_telling(path("tenvarixcrypto"), &told), 1);
    EXPECT_EQ(gui::message_text(), "OutFile not written");
    const std::string folder = path("") + ": " + g_strerror(EISDIR);
    EXPECT_EQ(reason_shown(), folder) << "the output name, cut to the folder";
    EXPECT_NE(told.find("tenvarix-crypto: " + folder + "\n"), std::string::npos) << told;

    ASSERT_EQ(symlink("/proc/self/mem", path("mem").c_str()), 0);
    write_file(path("memtenvarixcrypto"), "earlier");
    EXPECT_EQ(run_telling(path("mem"), &told), 1);
    EXPECT_EQ(gui::message_text(), "InFile not readable");
    const std::string unreadable = path("mem") + ": " + g_strerror(EIO);
    EXPECT_EQ(reason_shown(), unreadable) << "the input";
    EXPECT_NE(told.find("tenvarix-crypto: " + unreadable + "\n"), std::string::npos) << told;
    EXPECT_EQ(read_file(path("memtenvarixcrypto")), "earlier");

    EXPECT_EQ(run("short", ""), 1);
    EXPECT_EQ(reason_shown(), "") << "a refused key has no reason beside its message";
    EXPECT_EQ(run_telling(path("mem"), &told), 1);
    EXPECT_EQ(run_telling("", &told), 0);
    EXPECT_EQ(gui::message_text(), "");
    EXPECT_EQ(reason_shown(), "") << "cleared with the line";
    EXPECT_EQ(told, "");
}

TEST_F(WindowRun, a_full_disk_keeps_the_earlier_output_and_stops_the_run)
{
    testfiles::SmallTmpfs tmpfs(path("small"));
    if (!tmpfs.mounted())
        GTEST_SKIP() << "mounting a tmpfs needs root";
    const std::string small = path("small");

    write_file(small + "/big", std::string(40000, 'b'));
    write_file(small + "/bigtenvarixcrypto", "earlier output");
    write_file(small + "/tiny", "t");
    EXPECT_EQ(run(kKey, small + "/tiny\n" + small + "/big\n"), 1);
    EXPECT_EQ(gui::message_text(), "OutFile not written");
    EXPECT_EQ(read_file(small + "/bigtenvarixcrypto"), "earlier output");
    EXPECT_EQ(read_file(small + "/tinytenvarixcrypto"), xor_key("t"));
    EXPECT_EQ(entries(small).size(), 4u);

    ASSERT_TRUE(tmpfs.remount_read_only());
    std::remove(path("x").c_str());
    EXPECT_EQ(run(kKey, small + "/big"), 1);
    EXPECT_EQ(gui::message_text(), "OutFile not written");
    EXPECT_EQ(read_file(small + "/bigtenvarixcrypto"), "earlier output");
}

TEST_F(WindowRun, cancel_during_a_drain_discards_only_the_file_under_way)
{
    slow_inputs();
    write_file(path("done"), "finished first");
    write_file(path("big"), std::string(1 << 20, 'q'));
    write_file(path("bigtenvarixcrypto"), "earlier");
    write_file(path("after"), "never reached");
    gtk_entry_set_text(GTK_ENTRY(LEdit_TenvarixCryptoWindowKey), kKey.c_str());
    const std::string list = path("done") + "\n" + path("big") + "\n" + path("after") + "\n";
    gtk_text_buffer_set_text(TenvarixCryptoWindowFilePfadBuffer, list.c_str(), -1);
    int calls_in_second = 0;
    during_drain_ = [&] {
        if (bar_count() == "2 of 3" && ++calls_in_second == 3)
            TenvarixCryptoDoIt(PBut_TenvarixCryptoWindowCancel, nullptr, nullptr);
    };
    ASSERT_TRUE(gui::run_in_main_loop(
        [] { TenvarixCryptoDoIt(PBut_TenvarixCryptoWindowCrypt, nullptr, nullptr); }));
    EXPECT_FALSE(window_alive());
    EXPECT_EQ(grunningcrypt, 0);
    EXPECT_EQ(read_file(path("donetenvarixcrypto")), xor_key("finished first"));
    EXPECT_EQ(read_file(path("bigtenvarixcrypto")), "earlier");
    EXPECT_FALSE(exists(path("aftertenvarixcrypto")));
    EXPECT_EQ(entries(scratch_.dir()).size(), 5u);
    EXPECT_EQ(TenvarixCryptoExitStatus(), 1) << "a stopped run is no success";
}

TEST_F(WindowRun, closing_the_window_during_a_run_cancels_it)
{
    slow_inputs();
    write_file(path("big"), std::string(1 << 20, 'q'));
    gtk_entry_set_text(GTK_ENTRY(LEdit_TenvarixCryptoWindowKey), kKey.c_str());
    gtk_text_buffer_set_text(TenvarixCryptoWindowFilePfadBuffer, path("big").c_str(), -1);
    during_drain_ = [&] {
        if (fractions_.size() == 3) {
            GdkEvent *ev = gdk_event_new(GDK_DELETE);
            ev->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(TenvarixCryptoWindow)));
            gtk_widget_event(TenvarixCryptoWindow, ev);
            gdk_event_free(ev);
        }
    };
    ASSERT_TRUE(gui::run_in_main_loop(
        [] { TenvarixCryptoDoIt(PBut_TenvarixCryptoWindowCrypt, nullptr, nullptr); }));
    EXPECT_FALSE(window_alive());
    EXPECT_FALSE(exists(path("bigtenvarixcrypto")));
    EXPECT_EQ(entries(scratch_.dir()).size(), 1u);
    EXPECT_EQ(TenvarixCryptoExitStatus(), 1);

    // A close that reaches the window as a short run ends, still queued when
    // its end is shown, is a Cancel too: the file shown done is kept.
    SetUp();
    TenvarixCryptoSetRunOptions({});
    write_file(path("small"), "done at once");
    gtk_entry_set_text(GTK_ENTRY(LEdit_TenvarixCryptoWindowKey), kKey.c_str());
    gtk_text_buffer_set_text(TenvarixCryptoWindowFilePfadBuffer, path("small").c_str(), -1);
    during_drain_ = [&] {
        if (fractions_.back() != 1.0)
            return;
        GdkEvent *ev = gdk_event_new(GDK_DELETE);
        ev->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(TenvarixCryptoWindow)));
        gdk_event_put(ev);
        gdk_event_free(ev);
    };
    ASSERT_TRUE(gui::run_in_main_loop(
        [] { TenvarixCryptoDoIt(PBut_TenvarixCryptoWindowCrypt, nullptr, nullptr); }));
    EXPECT_FALSE(window_alive());
    EXPECT_EQ(read_file(path("smalltenvarixcrypto")), xor_key("done at once"));
    EXPECT_EQ(TenvarixCryptoExitStatus(), 1);
}

void catch_end_signals_once()
{
    static const bool caught = (TenvarixCryptoCatchEndSignals(), true);
    (void)caught;
}

TEST_F(WindowRun, an_end_signal_during_a_run_cancels_it_and_keeps_the_earlier_output)
{
    slow_inputs();
    catch_end_signals_once();
    write_file(path("big"), std::string(1 << 20, 'q'));
    write_file(path("bigtenvarixcrypto"), "earlier");
    gtk_entry_set_text(GTK_ENTRY(LEdit_TenvarixCryptoWindowKey), kKey.c_str());
    gtk_text_buffer_set_text(TenvarixCryptoWindowFilePfadBuffer, path("big").c_str(), -1);
    during_drain_ = [&] {
        if (fractions_.size() == 3)
            raise(SIGTERM);
    };
    ASSERT_TRUE(gui::run_in_main_loop(
        [] { TenvarixCryptoDoIt(PBut_TenvarixCryptoWindowCrypt, nullptr, nullptr); }));
    EXPECT_FALSE(window_alive());
    EXPECT_EQ(read_file(path("bigtenvarixcrypto")), "earlier");
    EXPECT_EQ(entries(scratch_.dir()).size(), 2u);
    EXPECT_EQ(TenvarixCryptoExitStatus(), 128 + SIGTERM);
}

// The run goes on while the file chooser is open; an end signal then closes
// the chooser and stops the run at once.
TEST_F(WindowRun, an_end_signal_stops_a_run_while_the_file_chooser_is_open)
{
    slow_inputs();
    catch_end_signals_once();
    write_file(path("done"), "finished first");
    // Long enough to be still under way once the chooser shows on a loaded
    // machine: 12 MiB read in about a second.
    write_file(path("big"), std::string(12 << 20, 'q'));
    gtk_entry_set_text(GTK_ENTRY(LEdit_TenvarixCryptoWindowKey), kKey.c_str());
    const std::string list = path("done") + "\n" + path("big") + "\n";
    gtk_text_buffer_set_text(TenvarixCryptoWindowFilePfadBuffer, list.c_str(), -1);
    struct Seen {
        std::vector<double> *fractions;
        bool opened = false, signalled = false;
        std::size_t fractions_with_chooser = 0;
        gint64 signalled_at = 0;
    } seen{&fractions_};
    during_drain_ = [&] {
        if (seen.opened || bar_count() != "2 of 2")
            return;
        seen.opened = true;
        g_idle_add(
            +[](gpointer) {
                TenvarixCryptoDoIt(PBut_TenvarixCryptoWindowSelectFile, nullptr, nullptr);
                return G_SOURCE_REMOVE;
            },
            nullptr);
    };
    const guint timer = g_timeout_add(
        20,
        +[](gpointer p) -> gboolean {
            auto *s = static_cast<Seen *>(p);
            bool chooser = false;
            GList *windows = gtk_window_list_toplevels();
            for (GList *w = windows; w; w = w->next)
                chooser = chooser || (GTK_IS_FILE_CHOOSER_DIALOG(w->data) &&
                                      gtk_widget_get_visible(GTK_WIDGET(w->data)));
            g_list_free(windows);
            if (chooser && !s->signalled) {
                if (!s->fractions_with_chooser)
                    s->fractions_with_chooser = s->fractions->size();
                else if (s->fractions->size() >= s->fractions_with_chooser + 2) {
                    s->signalled = true;
                    s->signalled_at = g_get_monotonic_time();
                    raise(SIGTERM);
                }
            }
            return G_SOURCE_CONTINUE;
        },
        &seen);
    ASSERT_TRUE(gui::run_in_main_loop(
        [] { TenvarixCryptoDoIt(PBut_TenvarixCryptoWindowCrypt, nullptr, nullptr); }));
    const gint64 ended_at = g_get_monotonic_time();
    g_source_remove(timer);
    ASSERT_TRUE(seen.signalled) << "the bar moved on while the chooser was open";
    EXPECT_LT(ended_at - seen.signalled_at, 1000000)
        << "gone within a second, not when the chooser closes";
    EXPECT_FALSE(window_alive());
    EXPECT_EQ(TenvarixCryptoExitStatus(), 128 + SIGTERM);
    EXPECT_EQ(read_file(path("donetenvarixcrypto")), xor_key("finished first"));
    EXPECT_FALSE(exists(path("bigtenvarixcrypto")));
}

TEST_F(WindowRun, crypt_presses_during_a_run_are_ignored)
{
    write_file(path("big"), std::string(1 << 20, 'q'));
    during_drain_ = [&] {
        TenvarixCryptoDoIt(PBut_TenvarixCryptoWindowCrypt, nullptr, nullptr);
        gui::press_key(TenvarixCryptoWindow, GDK_KEY_KP_Enter);
    };
    EXPECT_EQ(run(kKey, path("big")), 0);
    during_drain_ = nullptr;
    std::vector<double> expected{0.0};
    for (const ProgressStep &s : ProgressSchedule(1 << 20))
        expected.push_back(s.fraction);
    expected.push_back(1.0);
    EXPECT_EQ(fractions_, expected);
    EXPECT_EQ(read_file(path("bigtenvarixcrypto")), xor_key(std::string(1 << 20, 'q')));
    EXPECT_TRUE(window_alive());
}

// The bar is on screen before the first mark; on a disk read at 1 MiB/s the
// window drains between the marks, and a Cancel there ends the run at once.
TEST_F(WindowRun, the_bar_is_painted_at_once_and_a_slow_disk_keeps_the_window_alive)
{
    // The number of fractions set at each paint of the bar.
    struct Paints {
        std::vector<double> *fractions;
        std::vector<std::size_t> at;
    } paints{&fractions_, {}};
    const gulong painted =
        g_signal_connect_after(ProgressBar_TenvarixCryptoWindow, "draw",
                               G_CALLBACK(+[](GtkWidget *, cairo_t *, gpointer p) {
                                   auto *counted = static_cast<Paints *>(p);
                                   counted->at.push_back(counted->fractions->size());
                                   return FALSE;
                               }),
                               &paints);
    write_file(path("f"), std::string(1 << 20, 'f'));
    EXPECT_EQ(run(kKey, path("f")), 0);
    ASSERT_FALSE(paints.at.empty());
    EXPECT_EQ(paints.at.front(), 1u) << "painted after the start and before the first mark";
    g_signal_handler_disconnect(ProgressBar_TenvarixCryptoWindow, painted);

    testfiles::ThrottledDisk disk(path("slow"), 1 << 20);
    if (!disk.throttled())
        GTEST_SKIP() << "needs root, a loop device and the blkio cgroup";
    disk.write_cold("in", std::string(3 << 20, 's'));
    gtk_entry_set_text(GTK_ENTRY(LEdit_TenvarixCryptoWindowKey), kKey.c_str());
    gtk_text_buffer_set_text(TenvarixCryptoWindowFilePfadBuffer, disk.path("in").c_str(), -1);
    fractions_.clear();
    // Fires only while the run drains: counts the drains between two marks.
    struct Watch {
        std::vector<double> *fractions;
        std::size_t marks_then = 0;
        int between = 0, cancelled_after = 0;
        std::size_t marks_at_cancel = 0;
    } watch{&fractions_};
    const guint timer = g_timeout_add(
        5,
        +[](gpointer p) -> gboolean {
            auto *w = static_cast<Watch *>(p);
            const std::size_t marks = w->fractions->size();
            if (marks < 2 || w->marks_at_cancel)
                return G_SOURCE_CONTINUE;
            if (marks != w->marks_then) {
                w->marks_then = marks;
                w->between = 0;
            } else if (++w->between == 3) {
                w->marks_at_cancel = marks;
                TenvarixCryptoDoIt(PBut_TenvarixCryptoWindowCancel, nullptr, nullptr);
            }
            return G_SOURCE_CONTINUE;
        },
        &watch);
    ASSERT_TRUE(gui::run_in_main_loop(
        [] { TenvarixCryptoDoIt(PBut_TenvarixCryptoWindowCrypt, nullptr, nullptr); }));
    g_source_remove(timer);
    EXPECT_GE(watch.marks_at_cancel, 2u) << "three drains between two marks";
    EXPECT_LT(watch.marks_at_cancel, 11u);
    EXPECT_EQ(fractions_.size(), watch.marks_at_cancel) << "no mark after the Cancel";
    EXPECT_FALSE(window_alive());
    EXPECT_EQ(entries(disk.path("")).size(), 2u) << "the input and lost+found only";
}
