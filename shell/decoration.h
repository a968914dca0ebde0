// SPDX-License-Identifier: GPL-3.0-or-later
// The painted decoration under every widget: the bevelled frame, the box
// round the key rules, the two connectors and the two arrowheads.
#pragma once

#include <gtk/gtk.h>

// "draw" handler of DArea_TenvarixCryptoWindowDecoration; always FALSE.
gboolean TenvarixCryptowindowexposeeventcallback(GtkWidget *widget, cairo_t *cr, gpointer data);

// Paints the whole decoration onto cr (user space = window pixels).
void TenvarixCryptoPaintDecoration(cairo_t *cr);

// One 2 x 2 pixel-art point in grey level/255 covering columns x, x + 1 and
// rows y - 1, y.
void cairo_set_greypoint(cairo_t *cr, double level, double x, double y);
