// SPDX-License-Identifier: GPL-3.0-or-later
// Draws the picture-button images: a label on a rounded plate, plain grey
// while the pointer is outside, highlighted blue while it is over it; each
// at 140 x 28 and, for screens of scale 2, at twice that as "name@2x.png".
#include <cairo.h>

#include <cmath>
#include <cstdio>
#include <string>

namespace {

constexpr int kWidth = 140;
constexpr int kHeight = 28;

void rounded_rect(cairo_t *cr, double x, double y, double w, double h, double r)
{
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
    cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
    cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

bool draw(const std::string &path, const char *label, bool chosen, int scale)
{
    cairo_surface_t *surface =
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kWidth * scale, kHeight * scale);
    cairo_t *cr = cairo_create(surface);
    cairo_scale(cr, scale, scale);

    rounded_rect(cr, 1, 1, kWidth - 2, kHeight - 2, 5);
    cairo_pattern_t *fill = cairo_pattern_create_linear(0, 0, 0, kHeight);
    if (chosen) {
        cairo_pattern_add_color_stop_rgb(fill, 0, 0.36, 0.58, 0.86);
        cairo_pattern_add_color_stop_rgb(fill, 1, 0.18, 0.40, 0.70);
    } else {
        cairo_pattern_add_color_stop_rgb(fill, 0, 0.94, 0.94, 0.94);
        cairo_pattern_add_color_stop_rgb(fill, 1, 0.76, 0.76, 0.76);
    }
    cairo_set_source(cr, fill);
    cairo_fill_preserve(cr);
    cairo_pattern_destroy(fill);
    cairo_set_line_width(cr, 1.5);
    if (chosen)
        cairo_set_source_rgb(cr, 0.10, 0.25, 0.50);
    else
        cairo_set_source_rgb(cr, 0.35, 0.35, 0.35);
    cairo_stroke(cr);

    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, 13);
    cairo_text_extents_t ext;
    cairo_text_extents(cr, label, &ext);
    double x = (kWidth - ext.width) / 2 - ext.x_bearing;
    // Centred on the font's ascent and descent, not on the word's ink, so
    // that every label stands on the same baseline, descenders or not; on a
    // whole device pixel, so that it is as sharp at both sizes.
    cairo_font_extents_t font;
    cairo_font_extents(cr, &font);
    double y = (kHeight - font.ascent - font.descent) / 2 + font.ascent;
    y = std::round(y * scale) / scale;
    if (chosen)
        cairo_set_source_rgb(cr, 1, 1, 1);
    else
        cairo_set_source_rgb(cr, 0.12, 0.12, 0.12);
    cairo_move_to(cr, x, y);
    cairo_show_text(cr, label);

    cairo_destroy(cr);
    bool ok = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(surface);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    std::string dir = argc > 1 ? argv[1] : ".";
    struct Picture {
        const char *stem;
        const char *label;
    };
    const Picture pictures[] = {
        {"cancel", "Cancel"}, {"selectfile", "Select File"}, {"crypt", "Crypt"}};
    for (const Picture &p : pictures) {
        for (bool chosen : {false, true}) {
            for (int scale : {1, 2}) {
                std::string path = dir + "/" + p.stem + (chosen ? "chosen" : "notchosen") +
                                   (scale == 2 ? "@2x" : "") + ".png";
                if (!draw(path, p.label, chosen, scale)) {
                    std::fprintf(stderr, "draw-pictures: cannot write %s\n", path.c_str());
                    return 1;
                }
            }
        }
    }
    return 0;
}
