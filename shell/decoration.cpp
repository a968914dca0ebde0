#include "decoration.h"

void cairo_set_greypoint(cairo_t *cr, double level, double x, double y)
{
    cairo_set_source_rgb(cr, level / 255.0, level / 255.0, level / 255.0);
    cairo_move_to(cr, x, y);
    cairo_line_to(cr, x + 2, y);
    cairo_stroke(cr);
}

void TenvarixCryptoPaintDecoration(cairo_t *) {}

gboolean TenvarixCryptowindowexposeeventcallback(GtkWidget *, cairo_t *cr, gpointer)
{
    TenvarixCryptoPaintDecoration(cr);
    return FALSE;
}
