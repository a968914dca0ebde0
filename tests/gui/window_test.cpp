// SPDX-License-Identifier: GPL-3.0-or-later
// The window as built: every widget where the layout puts it, at its size,
// with its text, font and colour.
#include "files.h"
#include "gui_support.h"

#include <gdk/gdkx.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Placement {
    GtkWidget *widget;
    int x, y;
};

void expect_at(GtkWidget *widget, int x, int y, const char *what)
{
    int wx = -1, wy = -1;
    ASSERT_TRUE(gtk_widget_translate_coordinates(widget, TenvarixCryptoWindow, 0, 0, &wx, &wy))
        << what;
    EXPECT_EQ(wx, x) << what;
    EXPECT_EQ(wy, y) << what;
}

GtkAllocation allocation_of(GtkWidget *widget)
{
    GtkAllocation a;
    gtk_widget_get_allocation(widget, &a);
    return a;
}

std::string font_of(GtkWidget *widget)
{
    PangoFontDescription *font = nullptr;
    gtk_style_context_get(gtk_widget_get_style_context(widget), GTK_STATE_FLAG_NORMAL, "font",
                          &font, nullptr);
    g_autofree char *text = pango_font_description_to_string(font);
    pango_font_description_free(font);
    return text;
}

std::string label_text(GtkWidget *label)
{
    return gtk_label_get_text(GTK_LABEL(label));
}

// The window painted offscreen, as the toolkit paints it on screen.
struct Capture {
    cairo_surface_t *surface;
    Capture() : surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, 500, 550))
    {
        cairo_t *cr = cairo_create(surface);
        gtk_widget_draw(TenvarixCryptoWindow, cr);
        cairo_destroy(cr);
        cairo_surface_flush(surface);
    }
    ~Capture() { cairo_surface_destroy(surface); }
    guint32 pixel(int x, int y) const
    {
        const unsigned char *data = cairo_image_surface_get_data(surface);
        int stride = cairo_image_surface_get_stride(surface);
        return reinterpret_cast<const guint32 *>(data + y * stride)[x] & 0xffffff;
    }
};

using MainWindow = gui::WindowTest;

TEST_F(MainWindow, is_a_frameless_fixed_500_by_550_window_at_100_100)
{
    GtkWindow *window = GTK_WINDOW(TenvarixCryptoWindow);
    EXPECT_FALSE(gtk_window_get_decorated(window));
    EXPECT_FALSE(gtk_window_get_resizable(window));
    int w = 0, h = 0;
    gtk_window_get_size(window, &w, &h);
    EXPECT_EQ(w, 500);
    EXPECT_EQ(h, 550);
    int x = 0, y = 0;
    gdk_window_get_origin(gtk_widget_get_window(TenvarixCryptoWindow), &x, &y);
    EXPECT_EQ(x, 100);
    EXPECT_EQ(y, 100);
    EXPECT_STREQ(gtk_window_get_title(window), "Tenvarix Crypto");
    EXPECT_STREQ(g_get_prgname(), "io.github.tenvarix.TenvarixCrypto");
}

TEST_F(MainWindow, places_every_widget_where_the_layout_says)
{
    const Placement placements[] = {
        {DArea_TenvarixCryptoWindowDecoration, 0, 0},
        {Label_TenvarixCryptoWindowTitle, 50, 25},
        {Label_TenvarixCryptoWindowKey, 50, 60},
        {LEdit_TenvarixCryptoWindowKey, 50, 78},
        {Label_AnzahlBuchstaben, 50, 110},
        {Label_KleinBuchstaben, 50, 140},
        {Label_GrossBuchstaben, 50, 155},
        {Label_NumerischBuchstaben, 50, 170},
        {Label_SpezialBuchstaben, 50, 185},
        {Label_ItentischeBuchstaben, 50, 200},
        {Label_TenvarixCryptoWindowFilePfad, 50, 232},
        {ScrollWindowFilePfad, 50, 250},
        {PBut_TenvarixCryptoWindowCancel, 50, 495},
        {PBut_TenvarixCryptoWindowSelectFile, 200, 495},
        {PBut_TenvarixCryptoWindowCrypt, 350, 495},
        {Label_TenvarixCryptoWindowMessage, 10, 525},
    };
    for (const Placement &p : placements)
        expect_at(p.widget, p.x, p.y, gtk_widget_get_name(p.widget));

    // The drawing area is the fixed container's first child, under all others.
    GList *children = gtk_container_get_children(GTK_CONTAINER(TenvarixCryptoWindowFixedLayout));
    EXPECT_EQ(children->data, DArea_TenvarixCryptoWindowDecoration);
    EXPECT_EQ(g_list_length(children), 18u);
    g_list_free(children);
    EXPECT_EQ(gtk_bin_get_child(GTK_BIN(TenvarixCryptoWindow)), TenvarixCryptoWindowFixedLayout);
}

TEST_F(MainWindow, gives_widgets_the_sizes_the_layout_asks_for)
{
    GtkAllocation entry = allocation_of(LEdit_TenvarixCryptoWindowKey);
    EXPECT_EQ(entry.width, 400);
    EXPECT_EQ(entry.height, 27); // not the theme's 34: its middle row meets the arrowheads
    GtkAllocation list = allocation_of(ScrollWindowFilePfad);
    EXPECT_EQ(list.width, 400);
    EXPECT_EQ(list.height, 210);
    GtkAllocation area = allocation_of(DArea_TenvarixCryptoWindowDecoration);
    EXPECT_EQ(area.width, 500);
    EXPECT_EQ(area.height, 550);
    for (GtkWidget *label :
         {Label_TenvarixCryptoWindowTitle, Label_AnzahlBuchstaben, Label_ItentischeBuchstaben})
        EXPECT_EQ(allocation_of(label).width, 400);
    EXPECT_EQ(allocation_of(Label_TenvarixCryptoWindowMessage).width, 480);
    int w = 0, h = 0;
    gtk_widget_get_size_request(ProgressBar_TenvarixCryptoWindow, &w, &h);
    EXPECT_EQ(w, 400);
    EXPECT_LE(h, 1); // no minimum height: the bar takes its natural height

    // Every picture button is as large as its picture and clear of the frame.
    for (GtkWidget *button : {PBut_TenvarixCryptoWindowCancel, PBut_TenvarixCryptoWindowSelectFile,
                              PBut_TenvarixCryptoWindowCrypt}) {
        GtkAllocation b = allocation_of(button);
        EXPECT_EQ(b.width, 140);
        EXPECT_EQ(b.height, 28);
        EXPECT_LE(b.x + b.width, 497);
        EXPECT_LE(b.y + b.height, 525);
    }
}

TEST_F(MainWindow, shows_the_texts_and_rules_with_an_empty_message_line)
{
    EXPECT_EQ(label_text(Label_TenvarixCryptoWindowTitle), "Tenvarix Crypto");
    EXPECT_EQ(label_text(Label_TenvarixCryptoWindowKey), "Key :");
    EXPECT_EQ(label_text(Label_AnzahlBuchstaben), "At least 14 characters");
    EXPECT_EQ(label_text(Label_KleinBuchstaben), "Lowercase character/s required");
    EXPECT_EQ(label_text(Label_GrossBuchstaben), "Uppercase character/s required");
    EXPECT_EQ(label_text(Label_NumerischBuchstaben), "Numeric character/s required");
    EXPECT_EQ(label_text(Label_SpezialBuchstaben), "Punctuation or special character/s required");
    EXPECT_EQ(label_text(Label_ItentischeBuchstaben), "Not more than two identical characters");
    EXPECT_EQ(label_text(Label_TenvarixCryptoWindowFilePfad), "Absolute File Path(s) :");
    EXPECT_EQ(gui::message_text(), "");
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(LEdit_TenvarixCryptoWindowKey)), "");
    EXPECT_EQ(gui::file_list_text(), "");

    // The second rule has no variable of its own: find it among the children.
    bool found = false;
    GList *children = gtk_container_get_children(GTK_CONTAINER(TenvarixCryptoWindowFixedLayout));
    for (GList *c = children; c; c = c->next)
        if (GTK_IS_LABEL(c->data) &&
            label_text(GTK_WIDGET(c->data)) == "No space, umlaut and non-printable character")
            found = true;
    g_list_free(children);
    EXPECT_TRUE(found);

    // The entry shows what is typed; the list can be edited.
    EXPECT_TRUE(gtk_entry_get_visibility(GTK_ENTRY(LEdit_TenvarixCryptoWindowKey)));
    EXPECT_TRUE(gtk_text_view_get_editable(GTK_TEXT_VIEW(MEdit_TenvarixCryptoWindowFilePfad)));
}

TEST_F(MainWindow, hides_the_progress_bar_until_a_file_is_transformed)
{
    EXPECT_FALSE(gtk_widget_get_visible(ProgressBar_TenvarixCryptoWindow));
    EXPECT_TRUE(gtk_widget_get_visible(Label_TenvarixCryptoWindowMessage));
    EXPECT_TRUE(gtk_widget_get_visible(TenvarixCryptoWindow));
}

TEST_F(MainWindow, applies_the_fonts_and_colours_of_the_look)
{
    EXPECT_EQ(font_of(Label_TenvarixCryptoWindowTitle), "Segoe UI 14");
    EXPECT_EQ(font_of(Label_TenvarixCryptoWindowKey), "Segoe UI 10");
    EXPECT_EQ(font_of(Label_TenvarixCryptoWindowFilePfad), "Segoe UI 10");
    EXPECT_EQ(font_of(Label_AnzahlBuchstaben), "Segoe UI 9");
    EXPECT_EQ(font_of(Label_TenvarixCryptoWindowMessage), "Segoe UI 9");
    EXPECT_EQ(font_of(LEdit_TenvarixCryptoWindowKey), "Segoe UI 9");

    GdkRGBA colour;
    gtk_style_context_get_color(gtk_widget_get_style_context(Label_TenvarixCryptoWindowMessage),
                                GTK_STATE_FLAG_NORMAL, &colour);
    EXPECT_TRUE(gdk_rgba_equal(&colour, &MessageColor));

    // Free background, away from every widget and the painted lines, is grey 210.
    Capture capture;
    EXPECT_EQ(capture.pixel(20, 300), 0xd2d2d2u);
    EXPECT_EQ(capture.pixel(470, 40), 0xd2d2d2u);
    EXPECT_EQ(capture.pixel(250, 480), 0xd2d2d2u);
}

// Relative luminance of an sRGB colour, for the contrast of two colours.
double luminance(const GdkRGBA &c)
{
    auto linear = [](double v) {
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(c.red) + 0.7152 * linear(c.green) + 0.0722 * linear(c.blue);
}

// A dark desktop theme (here the toolkit's own, dark variant) changes
// nothing the window paints: the texts, the entry, the list, the bar and the
// red message look as on a light one, and the rules stay readable on the grey.
TEST_F(MainWindow, looks_the_same_on_a_dark_theme)
{
    gtk_entry_set_text(GTK_ENTRY(LEdit_TenvarixCryptoWindowKey), "Abcdefgh1234!?");
    gtk_text_buffer_set_text(TenvarixCryptoWindowFilePfadBuffer, "/home/u/report.txt\n/home/u/b",
                             -1);
    gtk_widget_show(ProgressBar_TenvarixCryptoWindow);
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(ProgressBar_TenvarixCryptoWindow), 0.5);
    gtk_progress_bar_set_show_text(GTK_PROGRESS_BAR(ProgressBar_TenvarixCryptoWindow), TRUE);
    gtk_progress_bar_set_text(GTK_PROGRESS_BAR(ProgressBar_TenvarixCryptoWindow), "2 of 5");
    gtk_label_set_text(GTK_LABEL(Label_TenvarixCryptoWindowMessage), "OutFile not written");
    auto pixels = [] {
        EXPECT_TRUE(gui::wait_for_draw(TenvarixCryptoWindow));
        Capture capture;
        std::vector<guint32> all;
        for (int y = 0; y < 550; ++y)
            for (int x = 0; x < 500; ++x)
                all.push_back(capture.pixel(x, y));
        return all;
    };
    const std::vector<guint32> light = pixels();

    GtkSettings *settings = gtk_settings_get_default();
    g_object_set(settings, "gtk-application-prefer-dark-theme", TRUE, nullptr);
    const std::vector<guint32> dark = pixels();
    GdkRGBA rule{};
    gtk_style_context_get_color(gtk_widget_get_style_context(Label_AnzahlBuchstaben),
                                GTK_STATE_FLAG_NORMAL, &rule);
    // The theme did turn dark: a widget of its own shows it.
    GtkWidget *outside = gtk_label_new("");
    g_object_ref_sink(outside);
    GdkRGBA theme_text{};
    gtk_style_context_get_color(gtk_widget_get_style_context(outside), GTK_STATE_FLAG_NORMAL,
                                &theme_text);
    g_object_unref(outside);
    g_object_set(settings, "gtk-application-prefer-dark-theme", FALSE, nullptr);
    gui::drain();

    EXPECT_GT(luminance(theme_text), 0.5) << "the dark theme's texts are light";
    std::size_t differing = 0, first = 0;
    for (std::size_t i = 0; i < light.size(); ++i)
        if (light[i] != dark[i] && differing++ == 0)
            first = i;
    EXPECT_EQ(differing, 0u) << "first at x " << first % 500 << ", y " << first / 500;
    const GdkRGBA grey = WindowBackgroundColor;
    EXPECT_GE((luminance(grey) + 0.05) / (luminance(rule) + 0.05), 4.5);
}

// The pixels of a surface, premultiplied ARGB, row by row.
std::vector<guint32> surface_pixels(cairo_surface_t *surface)
{
    cairo_surface_flush(surface);
    const unsigned char *data = cairo_image_surface_get_data(surface);
    const int width = cairo_image_surface_get_width(surface);
    std::vector<guint32> pixels;
    for (int y = 0; y < cairo_image_surface_get_height(surface); ++y) {
        const auto *row =
            reinterpret_cast<const guint32 *>(data + y * cairo_image_surface_get_stride(surface));
        pixels.insert(pixels.end(), row, row + width);
    }
    return pixels;
}

using SurfacePtr = std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)>;

// A picture file as it looks drawn unscaled onto a clear surface.
std::vector<guint32> picture_pixels(const std::string &file)
{
    g_autoptr(GdkPixbuf) pixbuf = gdk_pixbuf_new_from_file(file.c_str(), nullptr);
    if (!pixbuf)
        return {};
    SurfacePtr surface(gdk_cairo_surface_create_from_pixbuf(pixbuf, 1, nullptr),
                       cairo_surface_destroy);
    return surface_pixels(surface.get());
}

// What a button paints at the given scale, on a clear surface of its size.
std::vector<guint32> button_pixels(GtkWidget *button, int scale)
{
    const int width = gtk_widget_get_allocated_width(button);
    const int height = gtk_widget_get_allocated_height(button);
    SurfacePtr surface(
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width * scale, height * scale),
        cairo_surface_destroy);
    cairo_surface_set_device_scale(surface.get(), scale, scale);
    cairo_t *cr = cairo_create(surface.get());
    gtk_widget_draw(button, cr);
    cairo_destroy(cr);
    return surface_pixels(surface.get());
}

// The row on which most columns of the label's ink end: the baseline, as
// only the descenders of a word reach below it.
int label_baseline(const std::string &file, bool chosen)
{
    g_autoptr(GdkPixbuf) picture = gdk_pixbuf_new_from_file(file.c_str(), nullptr);
    if (!picture)
        return -1;
    const int width = gdk_pixbuf_get_width(picture);
    const int height = gdk_pixbuf_get_height(picture);
    const int stride = gdk_pixbuf_get_rowstride(picture);
    const int channels = gdk_pixbuf_get_n_channels(picture);
    const guchar *pixels = gdk_pixbuf_read_pixels(picture);
    std::map<int, int> columns_ending_at;
    // Inside the plate's rim: dark ink on the grey plate, white on the blue one.
    for (int x = width / 20; x < width - width / 20; ++x) {
        int bottom = -1;
        for (int y = height / 7; y < height - height / 7; ++y) {
            const int red = pixels[y * stride + x * channels];
            if (chosen ? red > 160 : red < 100)
                bottom = y;
        }
        if (bottom >= 0)
            ++columns_ending_at[bottom];
    }
    auto most = std::max_element(columns_ending_at.begin(), columns_ending_at.end(),
                                 [](auto &a, auto &b) { return a.second < b.second; });
    return most == columns_ending_at.end() ? -1 : most->first;
}

TEST(Pictures, stand_every_label_on_one_baseline_at_both_sizes)
{
    for (const char *size : {"", "@2x"})
        for (bool chosen : {false, true}) {
            const std::string kind = std::string(chosen ? "chosen" : "notchosen") + size + ".png";
            const int cancel = label_baseline("./__png's/cancel" + kind, chosen);
            EXPECT_GT(cancel, 0) << kind;
            EXPECT_EQ(label_baseline("./__png's/selectfile" + kind, chosen), cancel) << kind;
            EXPECT_EQ(label_baseline("./__png's/crypt" + kind, chosen), cancel) << kind;
        }
}

TEST_F(MainWindow, shows_the_pictures_drawn_for_the_screen_scale_at_one_layout_size)
{
    GdkDisplay *display = gtk_widget_get_display(TenvarixCryptoWindow);
    GtkWidget *cancel = PBut_TenvarixCryptoWindowCancel;
    for (int scale : {2, 1}) {
        gdk_x11_display_set_window_scale(display, scale);
        ASSERT_TRUE(gui::wait_for_draw(TenvarixCryptoWindow));
        ASSERT_EQ(gtk_widget_get_scale_factor(cancel), scale);
        const std::string suffix = scale == 2 ? "@2x.png" : ".png";
        EXPECT_EQ(gtk_widget_get_allocated_width(cancel), 140) << scale;
        EXPECT_EQ(gtk_widget_get_allocated_height(cancel), 28) << scale;
        EXPECT_TRUE(button_pixels(cancel, scale) ==
                    picture_pixels("./__png's/cancelnotchosen" + suffix))
            << "scale " << scale;
        gui::cross(cancel, GDK_ENTER_NOTIFY);
        ASSERT_TRUE(gui::wait_for_draw(TenvarixCryptoWindow));
        EXPECT_TRUE(button_pixels(cancel, scale) ==
                    picture_pixels("./__png's/cancelchosen" + suffix))
            << "scale " << scale;
        gui::cross(cancel, GDK_LEAVE_NOTIFY);
    }
    EXPECT_EQ(gui::image_file(Image_TenvarixCryptoWindowCancel), "./__png's/cancelnotchosen.png");
}

TEST_F(MainWindow, offers_the_picture_buttons_to_assistive_technology_as_buttons_to_click)
{
    const std::pair<GtkWidget *, const char *> buttons[] = {
        {PBut_TenvarixCryptoWindowCancel, "Cancel"},
        {PBut_TenvarixCryptoWindowSelectFile, "Select File"},
        {PBut_TenvarixCryptoWindowCrypt, "Crypt"},
    };
    for (const auto &[button, name] : buttons) {
        AtkObject *accessible = gtk_widget_get_accessible(button);
        EXPECT_STREQ(atk_object_get_name(accessible), name);
        EXPECT_EQ(atk_object_get_role(accessible), ATK_ROLE_PUSH_BUTTON);
        ASSERT_TRUE(ATK_IS_ACTION(accessible)) << name;
        EXPECT_EQ(atk_action_get_n_actions(ATK_ACTION(accessible)), 1) << name;
        EXPECT_STREQ(atk_action_get_name(ATK_ACTION(accessible), 0), "click") << name;
    }
    EXPECT_EQ(gui::image_file(Image_TenvarixCryptoWindowCancel), "./__png's/cancelnotchosen.png");
    EXPECT_EQ(gui::image_file(Image_TenvarixCryptoWindowSelectFile),
              "./__png's/selectfilenotchosen.png");
    EXPECT_EQ(gui::image_file(Image_TenvarixCryptoWindowCrypt), "./__png's/cryptnotchosen.png");

    // A click presses the button as the mouse does, once the caller has had its answer.
    auto click = [](GtkWidget *button) {
        return atk_action_do_action(ATK_ACTION(gtk_widget_get_accessible(button)), 0);
    };
    EXPECT_TRUE(click(PBut_TenvarixCryptoWindowCrypt));
    EXPECT_EQ(gui::message_text(), "");
    gui::drain();
    EXPECT_EQ(gui::message_text(), "The length of the key is less than 14 characters");
    // Not while a modal dialog keeps the mouse from the window.
    gtk_label_set_text(GTK_LABEL(Label_TenvarixCryptoWindowMessage), "");
    GtkWidget *dialog = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_grab_add(dialog);
    click(PBut_TenvarixCryptoWindowCrypt);
    gui::drain();
    gtk_grab_remove(dialog);
    gtk_widget_destroy(dialog);
    EXPECT_EQ(gui::message_text(), "");
    EXPECT_TRUE(gui::run_in_main_loop([&] { click(PBut_TenvarixCryptoWindowCancel); }));
    EXPECT_FALSE(window_alive());
}

} // namespace
