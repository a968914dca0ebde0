// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers for in-process tests against the real window.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include "shell/shell.h"
#include "shell/windowrun.h"

#include <unistd.h>

namespace gui {

// Processes pending events until none are left.
inline void drain()
{
    while (gtk_events_pending())
        gtk_main_iteration();
}

// Iterates the main context until the window has been drawn at least once
// (layout runs on the frame clock, so draining alone is not enough).
inline bool wait_for_draw(GtkWidget *window, int timeout_ms = 5000)
{
    bool drawn = false;
    gulong id =
        g_signal_connect_after(window, "draw", G_CALLBACK(+[](GtkWidget *, cairo_t *, gpointer p) {
                                   *static_cast<bool *>(p) = true;
                                   return FALSE;
                               }),
                               &drawn);
    gtk_widget_queue_draw(window);
    gint64 deadline = g_get_monotonic_time() + gint64(timeout_ms) * 1000;
    while (!drawn && g_get_monotonic_time() < deadline)
        g_main_context_iteration(nullptr, FALSE);
    g_signal_handler_disconnect(window, id);
    drain();
    return drawn;
}

// Runs action from inside gtk_main(), as a handler would run; returns false
// when the loop had to be stopped by the guard timeout.
inline bool run_in_main_loop(std::function<void()> action, int guard_ms = 20000)
{
    struct State {
        std::function<void()> action;
        bool timed_out = false;
    } state{std::move(action)};
    g_idle_add(
        +[](gpointer p) {
            static_cast<State *>(p)->action();
            return G_SOURCE_REMOVE;
        },
        &state);
    guint guard = g_timeout_add(
        guard_ms,
        +[](gpointer p) {
            static_cast<State *>(p)->timed_out = true;
            gtk_main_quit();
            return G_SOURCE_REMOVE;
        },
        &state);
    gtk_main();
    if (!state.timed_out)
        g_source_remove(guard);
    return !state.timed_out;
}

// A synthetic event aimed at the widget's window, coming from the seat's
// keyboard or pointer; its time is 0, "now".
using Event = std::unique_ptr<GdkEvent, decltype(&gdk_event_free)>;
inline Event synthetic_event(GtkWidget *widget, GdkEventType type, bool from_keyboard)
{
    Event ev(gdk_event_new(type), gdk_event_free);
    GdkWindow *gdk_window = gtk_widget_get_window(widget);
    ev->any.window = GDK_WINDOW(g_object_ref(gdk_window));
    ev->any.send_event = TRUE;
    GdkSeat *seat = gdk_display_get_default_seat(gdk_window_get_display(gdk_window));
    gdk_event_set_device(ev.get(),
                         from_keyboard ? gdk_seat_get_keyboard(seat) : gdk_seat_get_pointer(seat));
    return ev;
}

// Delivers a key press to the window as the keyboard would.
inline gboolean press_key(GtkWidget *window, guint keyval, guint state = 0)
{
    Event ev = synthetic_event(window, GDK_KEY_PRESS, true);
    ev->key.keyval = keyval;
    ev->key.state = state;
    GdkKeymapKey *keys = nullptr;
    gint n_keys = 0;
    GdkKeymap *keymap = gdk_keymap_get_for_display(gtk_widget_get_display(window));
    if (gdk_keymap_get_entries_for_keyval(keymap, keyval, &keys, &n_keys) && n_keys > 0)
        ev->key.hardware_keycode = keys[0].keycode;
    g_free(keys);
    return gtk_widget_event(window, ev.get());
}

// The next runs read their inputs in 16 KiB pieces, 20 ms apart: slow enough
// to be under way when a test acts.
inline void slow_down_runs()
{
    TransformOptions slow;
    slow.read = [](int fd, char *buffer, std::size_t n) {
        g_usleep(20000);
        return ::read(fd, buffer, std::min<std::size_t>(n, 16 * 1024));
    };
    TenvarixCryptoSetRunOptions(slow);
}

inline std::string file_list_text()
{
    GtkTextIter start, end;
    gtk_text_buffer_get_bounds(TenvarixCryptoWindowFilePfadBuffer, &start, &end);
    char *text = gtk_text_buffer_get_text(TenvarixCryptoWindowFilePfadBuffer, &start, &end, TRUE);
    std::string result(text);
    g_free(text);
    return result;
}

// The picture file an image shows.
inline std::string image_file(GtkWidget *image)
{
    gchar *file = nullptr;
    g_object_get(image, "file", &file, nullptr);
    std::string result = file ? file : "";
    g_free(file);
    return result;
}

// Delivers a press of the given mouse button to a widget.
inline gboolean press_button(GtkWidget *widget, guint button)
{
    Event ev = synthetic_event(widget, GDK_BUTTON_PRESS, false);
    ev->button.button = button;
    ev->button.x = ev->button.y = 5;
    return gtk_widget_event(widget, ev.get());
}

// Delivers the pointer entering (GDK_ENTER_NOTIFY) or leaving a widget.
inline void cross(GtkWidget *widget, GdkEventType type)
{
    Event ev = synthetic_event(widget, type, false);
    ev->crossing.mode = GDK_CROSSING_NORMAL;
    ev->crossing.detail = GDK_NOTIFY_ANCESTOR;
    gtk_widget_event(widget, ev.get());
}

inline std::string message_text()
{
    return gtk_label_get_text(GTK_LABEL(Label_TenvarixCryptoWindowMessage));
}

// A fresh window for every test; torn down unless a handler destroyed it.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TenvarixCryptoCreateWindow();
        window_alive_ = true;
        g_signal_connect(TenvarixCryptoWindow, "destroy", G_CALLBACK(+[](GtkWidget *, gpointer p) {
                             *static_cast<bool *>(p) = false;
                         }),
                         &window_alive_);
        ASSERT_TRUE(wait_for_draw(TenvarixCryptoWindow));
    }

    void TearDown() override
    {
        if (window_alive_) {
            // Without a running main loop, the window's gtk_main_quit would only warn.
            g_signal_handlers_disconnect_by_func(
                TenvarixCryptoWindow, reinterpret_cast<gpointer>(gtk_main_quit), nullptr);
            gtk_widget_destroy(TenvarixCryptoWindow);
        }
        drain();
    }

    bool window_alive() const { return window_alive_; }

private:
    bool window_alive_ = false;
};

} // namespace gui
