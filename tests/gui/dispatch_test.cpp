// SPDX-License-Identifier: GPL-3.0-or-later
// What presses, pointer crossings and keys on the window lead to.
#include "gui_support.h"

#include <algorithm>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "files.h"

namespace {

constexpr const char *kShortKeyMessage = "The length of the key is less than 14 characters";

using Dispatch = gui::WindowTest;

TEST_F(Dispatch, cancel_closes_the_window_and_ends_the_loop_for_any_mouse_button)
{
    for (guint button : {1u, 2u, 3u}) {
        if (button != 1)
            SetUp();
        ASSERT_TRUE(window_alive());
        bool loop_ended = gui::run_in_main_loop(
            [button] { gui::press_button(PBut_TenvarixCryptoWindowCancel, button); });
        EXPECT_TRUE(loop_ended) << "button " << button;
        EXPECT_FALSE(window_alive()) << "button " << button;
    }
}

TEST_F(Dispatch, closing_by_the_window_manager_ends_the_loop)
{
    bool loop_ended =
        gui::run_in_main_loop([] { gtk_window_close(GTK_WINDOW(TenvarixCryptoWindow)); });
    EXPECT_TRUE(loop_ended);
    EXPECT_FALSE(window_alive());
}

TEST_F(Dispatch, crypt_with_any_mouse_button_starts_the_crypt_action)
{
    for (guint button : {3u, 2u, 1u}) {
        gtk_label_set_text(GTK_LABEL(Label_TenvarixCryptoWindowMessage), "");
        gui::press_button(PBut_TenvarixCryptoWindowCrypt, button);
        EXPECT_EQ(gui::message_text(), kShortKeyMessage) << "button " << button;
    }
    EXPECT_TRUE(window_alive()); // a failed run leaves the window open
}

TEST_F(Dispatch, a_failed_run_leaves_cancel_working)
{
    gui::press_button(PBut_TenvarixCryptoWindowCrypt, 1);
    ASSERT_EQ(gui::message_text(), kShortKeyMessage);
    EXPECT_TRUE(
        gui::run_in_main_loop([] { gui::press_button(PBut_TenvarixCryptoWindowCancel, 1); }));
    EXPECT_FALSE(window_alive());
    EXPECT_EQ(TenvarixCryptoExitStatus(), 1) << "the last run stopped with a message";
}

TEST_F(Dispatch, a_completed_run_closes_the_window)
{
    gtk_entry_set_text(GTK_ENTRY(LEdit_TenvarixCryptoWindowKey), "Abcdefgh1234!?xyz");
    EXPECT_TRUE(
        gui::run_in_main_loop([] { gui::press_button(PBut_TenvarixCryptoWindowCrypt, 1); }));
    EXPECT_FALSE(window_alive());
    EXPECT_EQ(TenvarixCryptoExitStatus(), 0);
}

TEST_F(Dispatch, presses_on_other_widgets_do_nothing)
{
    gtk_text_buffer_set_text(TenvarixCryptoWindowFilePfadBuffer, "/no/such/file", -1);
    for (GtkWidget *other : {Label_TenvarixCryptoWindowTitle, LEdit_TenvarixCryptoWindowKey,
                             DArea_TenvarixCryptoWindowDecoration})
        TenvarixCryptoDoIt(other, nullptr, nullptr);
    EXPECT_TRUE(window_alive());
    EXPECT_EQ(gui::message_text(), "");
    EXPECT_EQ(gui::file_list_text(), "/no/such/file");
}

TEST_F(Dispatch, the_pointer_over_a_picture_button_swaps_its_picture)
{
    struct Button {
        GtkWidget *box, *image;
        std::string inside, outside;
    };
    const Button buttons[] = {
        {PBut_TenvarixCryptoWindowCancel, Image_TenvarixCryptoWindowCancel,
         "./__png's/cancelchosen.png", "./__png's/cancelnotchosen.png"},
        {PBut_TenvarixCryptoWindowSelectFile, Image_TenvarixCryptoWindowSelectFile,
         "./__png's/selectfilechosen.png", "./__png's/selectfilenotchosen.png"},
        {PBut_TenvarixCryptoWindowCrypt, Image_TenvarixCryptoWindowCrypt,
         "./__png's/cryptchosen.png", "./__png's/cryptnotchosen.png"},
    };
    for (const Button &b : buttons) {
        gui::cross(b.box, GDK_ENTER_NOTIFY);
        EXPECT_EQ(gui::image_file(b.image), b.inside);
        for (const Button &other : buttons) {
            if (other.box != b.box) {
                EXPECT_EQ(gui::image_file(other.image), other.outside);
            }
        }
        for (int i = 0; i < 3; ++i) {
            gui::cross(b.box, GDK_LEAVE_NOTIFY);
            gui::cross(b.box, GDK_ENTER_NOTIFY);
        }
        gui::cross(b.box, GDK_LEAVE_NOTIFY);
        EXPECT_EQ(gui::image_file(b.image), b.outside);
    }

    // Crossings elsewhere change no picture.
    TenvarixCryptoDoEnter(LEdit_TenvarixCryptoWindowKey, nullptr, nullptr);
    for (const Button &b : buttons)
        EXPECT_EQ(gui::image_file(b.image), b.outside);
}

TEST_F(Dispatch,
       keypad_enter_anywhere_and_return_in_the_key_entry_start_the_crypt_action_escape_cancels)
{
    const struct {
        GtkWidget *focus;
        guint key, modifiers;
    } starts[] = {
        {LEdit_TenvarixCryptoWindowKey, GDK_KEY_KP_Enter, 0},
        {MEdit_TenvarixCryptoWindowFilePfad, GDK_KEY_KP_Enter, 0},
        {MEdit_TenvarixCryptoWindowFilePfad, GDK_KEY_KP_Enter, GDK_SHIFT_MASK},
        {LEdit_TenvarixCryptoWindowKey, GDK_KEY_KP_Enter, GDK_CONTROL_MASK},
        {PBut_TenvarixCryptoWindowCancel, GDK_KEY_KP_Enter, 0},
        {LEdit_TenvarixCryptoWindowKey, GDK_KEY_Return, 0},
        {LEdit_TenvarixCryptoWindowKey, GDK_KEY_Return, GDK_SHIFT_MASK},
    };
    for (const auto &c : starts) {
        gtk_label_set_text(GTK_LABEL(Label_TenvarixCryptoWindowMessage), "");
        gtk_widget_grab_focus(c.focus);
        EXPECT_TRUE(gui::press_key(TenvarixCryptoWindow, c.key, c.modifiers)) << c.key;
        EXPECT_EQ(gui::message_text(), kShortKeyMessage) << c.key;
        EXPECT_EQ(gui::file_list_text(), ""); // no newline slipped into the list
        EXPECT_EQ(gtk_entry_get_text(GTK_ENTRY(LEdit_TenvarixCryptoWindowKey)), std::string());
    }

    // Escape is Cancel: during a run it stops the run, and the window closes
    // once the file under way is discarded ...
    testfiles::ScratchDir scratch;
    TransformOptions slow;
    slow.read = [](int fd, char *buffer, std::size_t n) {
        g_usleep(5000);
        return ::read(fd, buffer, std::min<std::size_t>(n, 64 * 1024));
    };
    TenvarixCryptoSetRunOptions(std::move(slow));
    testfiles::write_file(scratch.path("big"), std::string(1 << 20, 'q'));
    gtk_entry_set_text(GTK_ENTRY(LEdit_TenvarixCryptoWindowKey), testfiles::kKey.c_str());
    gtk_text_buffer_set_text(TenvarixCryptoWindowFilePfadBuffer, scratch.path("big").c_str(), -1);
    gtk_widget_grab_focus(LEdit_TenvarixCryptoWindowKey);
    int marks = 0;
    g_signal_connect(ProgressBar_TenvarixCryptoWindow, "notify::fraction",
                     G_CALLBACK(+[](GObject *, GParamSpec *, gpointer count) {
                         if (++*static_cast<int *>(count) == 3)
                             gui::press_key(TenvarixCryptoWindow, GDK_KEY_Escape);
                     }),
                     &marks);
    const bool ended =
        gui::run_in_main_loop([] { gui::press_key(TenvarixCryptoWindow, GDK_KEY_Return); });
    TenvarixCryptoSetRunOptions({});
    ASSERT_TRUE(ended);
    EXPECT_GE(marks, 3) << "the run was under way";
    EXPECT_FALSE(window_alive());
    EXPECT_EQ(testfiles::entries(scratch.dir()), std::vector<std::string>{"big"});
    EXPECT_EQ(TenvarixCryptoExitStatus(), 1) << "a stopped run is no success";

    // ... and outside a run it closes the window, whichever widget has the focus.
    for (GtkWidget **focus :
         {&MEdit_TenvarixCryptoWindowFilePfad, &LEdit_TenvarixCryptoWindowKey}) {
        SetUp();
        gtk_widget_grab_focus(*focus);
        EXPECT_TRUE(
            gui::run_in_main_loop([] { gui::press_key(TenvarixCryptoWindow, GDK_KEY_Escape); }));
        EXPECT_FALSE(window_alive());
    }
}

TEST_F(Dispatch, return_in_the_file_list_adds_a_line_and_starts_nothing)
{
    gtk_widget_grab_focus(MEdit_TenvarixCryptoWindowFilePfad);
    GdkEventKey key{};
    key.type = GDK_KEY_PRESS;
    key.keyval = GDK_KEY_Return;
    EXPECT_FALSE(TenvarixCryptowindowdokeypressevent(TenvarixCryptoWindow, &key, nullptr));
    gui::press_key(TenvarixCryptoWindow, GDK_KEY_Return);
    gui::drain();
    EXPECT_EQ(gui::file_list_text(), "\n");
    EXPECT_EQ(gui::message_text(), "");
    EXPECT_TRUE(window_alive());
}

// The picture buttons' row as painted into an offscreen surface.
std::vector<guint32> button_row_pixels()
{
    EXPECT_TRUE(gui::wait_for_draw(TenvarixCryptoWindow));
    std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface(
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, 500, 550), cairo_surface_destroy);
    cairo_t *cr = cairo_create(surface.get());
    gtk_widget_draw(TenvarixCryptoWindow, cr);
    cairo_destroy(cr);
    cairo_surface_flush(surface.get());
    std::vector<guint32> pixels;
    const unsigned char *data = cairo_image_surface_get_data(surface.get());
    for (int y = 495; y < 523; ++y)
        for (int x = 50; x < 490; ++x)
            pixels.push_back(reinterpret_cast<const guint32 *>(
                                 data + y * cairo_image_surface_get_stride(surface.get()))[x] &
                             0xffffff);
    return pixels;
}

TEST_F(Dispatch, tab_leads_from_the_file_list_to_the_buttons_which_space_and_return_press)
{
    // The window is the active one, and shows focus as it does once a key is
    // typed into it (the toolkit's event loop does that, not its widgets).
    gui::Event focus_in = gui::synthetic_event(TenvarixCryptoWindow, GDK_FOCUS_CHANGE, true);
    focus_in->focus_change.in = TRUE;
    gtk_widget_event(TenvarixCryptoWindow, focus_in.get());
    gtk_window_set_focus_visible(GTK_WINDOW(TenvarixCryptoWindow), TRUE);
    gtk_widget_grab_focus(LEdit_TenvarixCryptoWindowKey);
    const std::vector<guint32> unfocused = button_row_pixels();
    const GtkWidget *chain[] = {MEdit_TenvarixCryptoWindowFilePfad, PBut_TenvarixCryptoWindowCancel,
                                PBut_TenvarixCryptoWindowSelectFile,
                                PBut_TenvarixCryptoWindowCrypt};
    for (const GtkWidget *next : chain) {
        EXPECT_TRUE(gui::press_key(TenvarixCryptoWindow, GDK_KEY_Tab));
        EXPECT_EQ(gtk_window_get_focus(GTK_WINDOW(TenvarixCryptoWindow)), next);
    }
    EXPECT_EQ(gui::file_list_text(), ""); // Tab left the list without a tab in it

    // The focused button is marked; the mark goes with the focus.
    EXPECT_NE(button_row_pixels(), unfocused);
    gtk_widget_grab_focus(LEdit_TenvarixCryptoWindowKey);
    EXPECT_EQ(button_row_pixels(), unfocused);

    for (guint key : {GDK_KEY_space, GDK_KEY_Return}) {
        gtk_widget_grab_focus(PBut_TenvarixCryptoWindowCrypt);
        gtk_label_set_text(GTK_LABEL(Label_TenvarixCryptoWindowMessage), "");
        EXPECT_TRUE(gui::press_key(TenvarixCryptoWindow, key));
        EXPECT_EQ(gui::message_text(), kShortKeyMessage) << key;
    }
    gtk_widget_grab_focus(PBut_TenvarixCryptoWindowCancel);
    EXPECT_TRUE(gui::run_in_main_loop([] { gui::press_key(TenvarixCryptoWindow, GDK_KEY_space); }));
    EXPECT_FALSE(window_alive());
}

} // namespace
