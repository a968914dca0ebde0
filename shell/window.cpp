// SPDX-License-Identifier: GPL-3.0-or-later
#include "window.h"

#include "decoration.h"
#include "dispatch.h"
#include "dragdrop.h"
#include "lookandfeel.h"
#include "picturebutton.h"
#include "pictures.h"

GtkWidget *TenvarixCryptoWindow;
GtkWidget *TenvarixCryptoWindowFixedLayout;
GtkWidget *DArea_TenvarixCryptoWindowDecoration;
GtkWidget *Label_TenvarixCryptoWindowTitle;
GtkWidget *Label_TenvarixCryptoWindowKey;
GtkWidget *LEdit_TenvarixCryptoWindowKey;
GtkWidget *Label_AnzahlBuchstaben;
GtkWidget *Label_KleinBuchstaben;
GtkWidget *Label_GrossBuchstaben;
GtkWidget *Label_NumerischBuchstaben;
GtkWidget *Label_SpezialBuchstaben;
GtkWidget *Label_ItentischeBuchstaben;
GtkWidget *Label_TenvarixCryptoWindowFilePfad;
GtkWidget *ScrollWindowFilePfad;
GtkWidget *MEdit_TenvarixCryptoWindowFilePfad;
GtkTextBuffer *TenvarixCryptoWindowFilePfadBuffer;
GtkWidget *ProgressBar_TenvarixCryptoWindow;
GtkWidget *Image_TenvarixCryptoWindowCancel;
GtkWidget *PBut_TenvarixCryptoWindowCancel;
GtkWidget *Image_TenvarixCryptoWindowSelectFile;
GtkWidget *PBut_TenvarixCryptoWindowSelectFile;
GtkWidget *Image_TenvarixCryptoWindowCrypt;
GtkWidget *PBut_TenvarixCryptoWindowCrypt;
GtkWidget *Label_TenvarixCryptoWindowMessage;

namespace {

// The per-widget overrides below are the toolkit's deprecated but working
// way of giving one widget its own font and colours.
G_GNUC_BEGIN_IGNORE_DEPRECATIONS
void set_font(GtkWidget *widget, const PangoFontDescription *font)
{
    gtk_widget_override_font(widget, font);
}

void set_background(GtkWidget *widget, const GdkRGBA &colour)
{
    gtk_widget_override_background_color(widget, GTK_STATE_FLAG_NORMAL, &colour);
}

void set_text_colour(GtkWidget *widget, const GdkRGBA &colour)
{
    gtk_widget_override_color(widget, GTK_STATE_FLAG_NORMAL, &colour);
}
G_GNUC_END_IGNORE_DEPRECATIONS

// The default theme keeps an entry at least 34 pixels high; the layout needs
// it 27 high so that its middle row lines up with the painted arrowheads.
void allow_short_entry(GtkWidget *entry)
{
    g_autoptr(GtkCssProvider) css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(
        css, "entry { min-height: 0; padding-top: 2px; padding-bottom: 2px; }", -1, nullptr);
    gtk_style_context_add_provider(gtk_widget_get_style_context(entry), GTK_STYLE_PROVIDER(css),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
}

void put(GtkWidget *widget, int x, int y)
{
    gtk_fixed_put(GTK_FIXED(TenvarixCryptoWindowFixedLayout), widget, x, y);
}

GtkWidget *put_label(const char *text, int width, int x, int y)
{
    GtkWidget *label = gtk_label_new(text);
    if (width > 0)
        gtk_widget_set_size_request(label, width, 0);
    put(label, x, y);
    return label;
}

struct RuleLabel {
    GtkWidget **variable; // null: held only by the fixed container
    const char *text;
    int y;
};

const RuleLabel kRuleLabels[] = {
    {&Label_AnzahlBuchstaben, "At least 14 characters", 110},
    {nullptr, "No space, umlaut and non-printable character", 125},
    {&Label_KleinBuchstaben, "Lowercase character/s required", 140},
    {&Label_GrossBuchstaben, "Uppercase character/s required", 155},
    {&Label_NumerischBuchstaben, "Numeric character/s required", 170},
    {&Label_SpezialBuchstaben, "Punctuation or special character/s required", 185},
    {&Label_ItentischeBuchstaben, "Not more than two identical characters", 200},
};

void connect(gpointer instance, const char *signal, GCallback handler)
{
    g_signal_connect_data(instance, signal, handler, nullptr, nullptr, GConnectFlags(0));
}

// The window itself: frameless, fixed in size, and the handlers of its keys,
// presses and close.
void create_window()
{
    TenvarixCryptoWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    set_background(TenvarixCryptoWindow, WindowBackgroundColor);
    gtk_window_move(GTK_WINDOW(TenvarixCryptoWindow), 100, 100);
    gtk_window_resize(GTK_WINDOW(TenvarixCryptoWindow), 500, 550);
    gtk_window_set_decorated(GTK_WINDOW(TenvarixCryptoWindow), FALSE);
    // The layout is fixed: minimum and maximum size are both 500 x 550 in the
    // hints the window manager reads, so it can neither resize nor maximise.
    gtk_window_set_resizable(GTK_WINDOW(TenvarixCryptoWindow), FALSE);
    // No frame shows it, but task switchers and docks do.
    gtk_window_set_title(GTK_WINDOW(TenvarixCryptoWindow), "Tenvarix Crypto");
    gtk_window_set_icon_name(GTK_WINDOW(TenvarixCryptoWindow), TENVARIX_APP_ID);
    connect(TenvarixCryptoWindow, "destroy", G_CALLBACK(gtk_main_quit));
    connect(TenvarixCryptoWindow, "key_press_event",
            G_CALLBACK(TenvarixCryptowindowdokeypressevent));
    // Closing by the window manager while files are being written must not
    // pull the widgets away from under the running crypt.
    connect(TenvarixCryptoWindow, "delete-event", G_CALLBACK(TenvarixCryptowindowdodeleteevent));
    // Presses that no widget takes reach the window: they drag it.
    gtk_widget_add_events(TenvarixCryptoWindow, GDK_BUTTON_PRESS_MASK);
    connect(TenvarixCryptoWindow, "button-press-event",
            G_CALLBACK(TenvarixCryptowindowdobuttonpressevent));
}

void put_decoration()
{
    DArea_TenvarixCryptoWindowDecoration = gtk_drawing_area_new();
    gtk_widget_set_size_request(DArea_TenvarixCryptoWindowDecoration, 500, 550);
    put(DArea_TenvarixCryptoWindowDecoration, 0, 0);
    connect(DArea_TenvarixCryptoWindowDecoration, "draw",
            G_CALLBACK(TenvarixCryptowindowexposeeventcallback));
}

// The title, the key entry and the key rules under it.
void put_key()
{
    Label_TenvarixCryptoWindowTitle = put_label("Tenvarix Crypto", 400, 50, 25);
    set_font(Label_TenvarixCryptoWindowTitle, fontlucidagranderegular14);

    Label_TenvarixCryptoWindowKey = put_label("Key :", 0, 50, 60);
    set_font(Label_TenvarixCryptoWindowKey, fontlucidagranderegular12);

    LEdit_TenvarixCryptoWindowKey = gtk_entry_new();
    gtk_widget_set_size_request(LEdit_TenvarixCryptoWindowKey, 400, 27);
    allow_short_entry(LEdit_TenvarixCryptoWindowKey);
    put(LEdit_TenvarixCryptoWindowKey, 50, 78);
    gtk_entry_set_text(GTK_ENTRY(LEdit_TenvarixCryptoWindowKey), "");
    atk_object_set_name(gtk_widget_get_accessible(LEdit_TenvarixCryptoWindowKey), "Key");

    for (const RuleLabel &rule : kRuleLabels) {
        GtkWidget *label = put_label(rule.text, 400, 50, rule.y);
        if (rule.variable)
            *rule.variable = label;
    }
}

// The file list: a text view in a scrolled window, under its label.
void put_file_list()
{
    Label_TenvarixCryptoWindowFilePfad = put_label("Absolute File Path(s) :", 0, 50, 232);
    set_font(Label_TenvarixCryptoWindowFilePfad, fontlucidagranderegular12);

    ScrollWindowFilePfad = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(ScrollWindowFilePfad), GTK_POLICY_AUTOMATIC,
                                   GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(ScrollWindowFilePfad), GTK_SHADOW_IN);
    gtk_widget_set_size_request(ScrollWindowFilePfad, 400, 210);
    MEdit_TenvarixCryptoWindowFilePfad = gtk_text_view_new();
    TenvarixCryptoWindowFilePfadBuffer =
        gtk_text_view_get_buffer(GTK_TEXT_VIEW(MEdit_TenvarixCryptoWindowFilePfad));
    gtk_container_add(GTK_CONTAINER(ScrollWindowFilePfad), MEdit_TenvarixCryptoWindowFilePfad);
    put(ScrollWindowFilePfad, 50, 250);
    gtk_text_buffer_set_text(TenvarixCryptoWindowFilePfadBuffer, "", -1);
    // Tab leaves the list for the picture buttons; no path holds a tab.
    gtk_text_view_set_accepts_tab(GTK_TEXT_VIEW(MEdit_TenvarixCryptoWindowFilePfad), FALSE);
    atk_object_set_name(gtk_widget_get_accessible(MEdit_TenvarixCryptoWindowFilePfad),
                        "Absolute File Path(s)");
    TenvarixCryptoAcceptFileDrops(MEdit_TenvarixCryptoWindowFilePfad);
}

void put_picture_buttons()
{
    for (const PictureButton &pb : kPictureButtons) {
        *pb.image = TenvarixCryptoPictureNew(pb.not_chosen);
        *pb.button = TenvarixCryptoPictureButtonNew();
        gtk_container_add(GTK_CONTAINER(*pb.button), *pb.image);
        put(*pb.button, pb.x, 495);
        connect(*pb.button, "button-press-event", G_CALLBACK(TenvarixCryptoDoIt));
        connect(*pb.button, "enter-notify-event", G_CALLBACK(TenvarixCryptoDoEnter));
        connect(*pb.button, "leave-notify-event", G_CALLBACK(TenvarixCryptoDoLeave));
        // Screen readers and UI automation find the buttons by name and role.
        AtkObject *accessible = gtk_widget_get_accessible(*pb.button);
        atk_object_set_name(accessible, pb.accessible_name);
        atk_object_set_role(accessible, ATK_ROLE_PUSH_BUTTON);
    }
}

} // namespace

void TenvarixCryptoCreateWindow()
{
    create_window();
    // Every widget in the fixed layout, in this order from the bottom up.
    TenvarixCryptoWindowFixedLayout = gtk_fixed_new();
    put_decoration();
    put_key();
    put_file_list();

    ProgressBar_TenvarixCryptoWindow = gtk_progress_bar_new();
    gtk_widget_set_size_request(ProgressBar_TenvarixCryptoWindow, 400, 0);
    put(ProgressBar_TenvarixCryptoWindow, 50, 467);

    put_picture_buttons();

    Label_TenvarixCryptoWindowMessage = put_label("", 480, 10, 525);
    set_text_colour(Label_TenvarixCryptoWindowMessage, MessageColor);

    gtk_container_add(GTK_CONTAINER(TenvarixCryptoWindow), TenvarixCryptoWindowFixedLayout);
    TenvarixCryptoKeepLightLook(TenvarixCryptoWindow);

    gtk_widget_show_all(TenvarixCryptoWindow);
    gtk_widget_hide(ProgressBar_TenvarixCryptoWindow);
}
