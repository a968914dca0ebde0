// SPDX-License-Identifier: GPL-3.0-or-later
// The picture buttons: event boxes that also take the keyboard focus, mark
// it, answer Space and Return, and offer assistive technology a "click"
// action. Every way of pressing one ends in TenvarixCryptoDoIt with the
// button as the widget, exactly as a mouse press does.
#include "picturebutton.h"

#include "dispatch.h"

#include <gtk/gtk-a11y.h>

namespace {

struct TenvarixPictureButton {
    GtkEventBox parent;
};
struct TenvarixPictureButtonClass {
    GtkEventBoxClass parent_class;
};

struct TenvarixPictureButtonAccessible {
    GtkContainerAccessible parent;
};
struct TenvarixPictureButtonAccessibleClass {
    GtkContainerAccessibleClass parent_class;
};

void tenvarix_picture_button_action_init(AtkActionIface *iface);

G_DEFINE_TYPE(TenvarixPictureButton, tenvarix_picture_button, GTK_TYPE_EVENT_BOX)
G_DEFINE_TYPE_WITH_CODE(TenvarixPictureButtonAccessible, tenvarix_picture_button_accessible,
                        GTK_TYPE_CONTAINER_ACCESSIBLE,
                        G_IMPLEMENT_INTERFACE(ATK_TYPE_ACTION, tenvarix_picture_button_action_init))

void press(GtkWidget *button)
{
    TenvarixCryptoDoIt(button, nullptr, nullptr);
}

gboolean tenvarix_picture_button_key_press(GtkWidget *widget, GdkEventKey *event)
{
    switch (event->keyval) {
    case GDK_KEY_space:
    case GDK_KEY_KP_Space:
    case GDK_KEY_Return:
    case GDK_KEY_ISO_Enter: press(widget); return TRUE;
    default:
        return GTK_WIDGET_CLASS(tenvarix_picture_button_parent_class)
            ->key_press_event(widget, event);
    }
}

// Tab stops once on the button: the default of containers would take it
// again and again while the window is not the active one.
gboolean tenvarix_picture_button_focus(GtkWidget *widget, GtkDirectionType)
{
    if (gtk_widget_is_focus(widget))
        return FALSE;
    gtk_widget_grab_focus(widget);
    return TRUE;
}

// A two-tone dashed frame inside the picture's edge, visible on the plain
// and on the highlighted picture; nothing is drawn without the focus.
gboolean tenvarix_picture_button_draw(GtkWidget *widget, cairo_t *cr)
{
    GTK_WIDGET_CLASS(tenvarix_picture_button_parent_class)->draw(widget, cr);
    if (!gtk_widget_has_visible_focus(widget))
        return FALSE;
    const double inset = 3.5;
    cairo_save(cr);
    cairo_rectangle(cr, inset, inset, gtk_widget_get_allocated_width(widget) - 2 * inset,
                    gtk_widget_get_allocated_height(widget) - 2 * inset);
    cairo_set_line_width(cr, 1);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_stroke_preserve(cr);
    const double dash = 2;
    cairo_set_dash(cr, &dash, 1, 0);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_stroke(cr);
    cairo_restore(cr);
    return FALSE;
}

void tenvarix_picture_button_class_init(TenvarixPictureButtonClass *klass)
{
    GtkWidgetClass *widget_class = GTK_WIDGET_CLASS(klass);
    widget_class->key_press_event = tenvarix_picture_button_key_press;
    widget_class->draw = tenvarix_picture_button_draw;
    widget_class->focus = tenvarix_picture_button_focus;
    gtk_widget_class_set_accessible_type(widget_class,
                                         tenvarix_picture_button_accessible_get_type());
}

void tenvarix_picture_button_init(TenvarixPictureButton *button)
{
    gtk_widget_set_can_focus(GTK_WIDGET(button), TRUE);
}

// The press runs after the caller has had its answer: it may hold the
// chooser's modal loop or a whole crypt run, far longer than a caller waits.
gboolean press_when_idle(gpointer data)
{
    GtkWidget *button = GTK_WIDGET(data);
    // Not pressed: a button that has left the window (Cancel closed it
    // meanwhile), or one that a modal dialog, the file chooser, keeps the
    // mouse from, too.
    GtkWidget *grab = gtk_grab_get_current();
    if (gtk_widget_is_toplevel(gtk_widget_get_toplevel(button)) &&
        (!grab || gtk_widget_is_ancestor(button, grab)))
        press(button);
    return G_SOURCE_REMOVE;
}

gboolean tenvarix_picture_button_do_action(AtkAction *action, gint i)
{
    GtkWidget *button = gtk_accessible_get_widget(GTK_ACCESSIBLE(action));
    if (i != 0 || !button || !gtk_widget_is_sensitive(button) || !gtk_widget_get_visible(button))
        return FALSE;
    g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, press_when_idle, g_object_ref(button), g_object_unref);
    return TRUE;
}

gint tenvarix_picture_button_n_actions(AtkAction *)
{
    return 1;
}

const gchar *tenvarix_picture_button_action_name(AtkAction *, gint i)
{
    return i == 0 ? "click" : nullptr;
}

void tenvarix_picture_button_action_init(AtkActionIface *iface)
{
    iface->do_action = tenvarix_picture_button_do_action;
    iface->get_n_actions = tenvarix_picture_button_n_actions;
    iface->get_name = tenvarix_picture_button_action_name;
    iface->get_localized_name = tenvarix_picture_button_action_name;
}

// Screen readers announce the buttons as buttons.
void tenvarix_picture_button_accessible_initialize(AtkObject *accessible, gpointer widget)
{
    ATK_OBJECT_CLASS(tenvarix_picture_button_accessible_parent_class)
        ->initialize(accessible, widget);
    accessible->role = ATK_ROLE_PUSH_BUTTON;
}

void tenvarix_picture_button_accessible_class_init(TenvarixPictureButtonAccessibleClass *klass)
{
    ATK_OBJECT_CLASS(klass)->initialize = tenvarix_picture_button_accessible_initialize;
}
void tenvarix_picture_button_accessible_init(TenvarixPictureButtonAccessible *) {}

} // namespace

GtkWidget *TenvarixCryptoPictureButtonNew()
{
    return GTK_WIDGET(g_object_new(tenvarix_picture_button_get_type(), nullptr));
}
