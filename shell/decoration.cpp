// SPDX-License-Identifier: GPL-3.0-or-later
#include "decoration.h"

#include <cstddef>
#include <iterator>

namespace {

// Every segment is horizontal or vertical between whole pixel coordinates;
// with cairo's default width of 2 and butt caps it paints a band two pixels
// thick that ends exactly at its end points.
struct Segment {
    double x0, y0, x1, y1;
};

// One cairo_stroke: a grey fraction and the segments it paints.
template <std::size_t N> struct Stroke {
    double grey;
    Segment segments[N];
};

struct GreyPoint {
    double level, x, y;
};

// The window background's grey, used to take painted pixels back.
constexpr double kBg = 210.0 / 255.0;

// The bevelled frame: left and bottom edges ring by ring from the outside
// in, then the top and right edges the same way.
constexpr Stroke<1> kFrame[] = {
    /*  1 */ {0.0, {{1, 0, 1, 550}}},
    /*  2 */ {1.0, {{1, 549, 500, 549}}},
    /*  3 */ {0.3, {{2, 0, 2, 549}}},
    /*  4 */ {0.9, {{2, 548, 500, 548}}},
    /*  5 */ {0.6, {{3, 0, 3, 548}}},
    /*  6 */ {kBg, {{3, 547, 500, 547}}},
    /*  7 */ {kBg, {{4, 0, 4, 547}}},
    /*  8 */ {0.0, {{0, 1, 500, 1}}},
    /*  9 */ {1.0, {{499, 1, 499, 550}}},
    /* 10 */ {0.3, {{1, 2, 499, 2}}},
    /* 11 */ {0.9, {{498, 2, 498, 549}}},
    /* 12 */ {0.6, {{2, 3, 498, 3}}},
    /* 13 */ {kBg, {{497, 3, 497, 548}}},
    /* 14 */ {kBg, {{3, 4, 497, 4}}},
};

// The box round the key rules: top, left, bottom, right.
// One stroke, or one scan row below, to a line.
// clang-format off
constexpr Stroke<4> kRuleBox[] = {
    /* 15 */ {0.0, {{50, 103, 450, 103}, {51, 103, 51, 218},
                    {50, 218, 450, 218}, {449, 103, 449, 218}}},
    /* 16 */ {kBg, {{51, 104, 449, 104}, {52, 104, 52, 217},
                    {51, 217, 449, 217}, {448, 104, 448, 217}}},
};

// The left arrowhead by scan row: the upper edge right to left and the
// black fill; on the lower edge each shaded point is followed by a
// background point one row lower; every row ends at x = 38.
constexpr GreyPoint kLeftArrowhead[] = {
    /* 88 */ {208, 39, 88}, {210, 38, 88},
    /* 89 */ {208, 41, 89}, {136, 40, 89}, {32, 39, 89}, {210, 38, 89},
    /* 90 */ {208, 43, 90}, {136, 42, 90}, {32, 41, 90}, {0, 40, 90}, {0, 39, 90}, {210, 38, 90},
    /* 91 */ {208, 45, 91}, {136, 44, 91}, {32, 43, 91}, {0, 42, 91}, {0, 41, 91}, {0, 40, 91},
             {0, 39, 91}, {210, 38, 91},
    /* 92 */ {208, 47, 92}, {136, 46, 92}, {32, 45, 92}, {0, 44, 92}, {0, 43, 92}, {0, 42, 92},
             {0, 41, 92}, {0, 40, 92}, {0, 39, 92}, {210, 38, 92},
    /* 93 */ {107, 47, 93}, {210, 47, 94}, {1, 46, 93}, {210, 46, 94}, {0, 45, 93}, {0, 44, 93},
             {0, 43, 93}, {0, 42, 93}, {0, 41, 93}, {0, 40, 93}, {0, 39, 93}, {210, 38, 93},
    /* 94 */ {177, 46, 94}, {210, 46, 95}, {73, 45, 94}, {210, 45, 95}, {1, 44, 94}, {210, 44, 95},
             {0, 43, 94}, {0, 42, 94}, {0, 41, 94}, {0, 40, 94}, {0, 39, 94}, {210, 38, 94},
    /* 95 */ {177, 44, 95}, {210, 44, 96}, {73, 43, 95}, {210, 43, 96}, {1, 42, 95}, {210, 42, 96},
             {0, 41, 95}, {0, 40, 95}, {0, 39, 95}, {210, 38, 95},
    /* 96 */ {177, 42, 96}, {210, 42, 97}, {73, 41, 96}, {210, 41, 97}, {1, 40, 96}, {210, 40, 97},
             {0, 39, 96}, {210, 38, 96},
    /* 97 */ {177, 40, 97}, {210, 40, 98}, {73, 39, 97}, {210, 39, 98}, {210, 38, 97},
};
// clang-format on
static_assert(std::size(kLeftArrowhead) == 77);

// The left connector: out of the box's left side, up, and in to the
// arrowhead. It comes after the arrowhead, whose background points at
// x = 38 would otherwise cut a gap into row 92.
constexpr Stroke<3> kLeftConnector[] = {
    /* 17 */ {0.0, {{50, 165, 25, 165}, {25, 165, 25, 92}, {25, 92, 40, 92}}},
    /* 18 */ {kBg, {{50, 166, 25, 166}, {24, 165, 24, 92}, {25, 91, 40, 91}}},
};

// The left connector mirrored about the vertical centre line (x -> 500 - x).
constexpr Stroke<3> kRightConnector[] = {
    /* 19 */ {0.0, {{450, 165, 475, 165}, {475, 165, 475, 92}, {475, 92, 460, 92}}},
    /* 20 */ {kBg, {{450, 166, 475, 166}, {476, 165, 476, 92}, {475, 91, 460, 91}}},
};

template <std::size_t N, std::size_t Count>
void paint(cairo_t *cr, const Stroke<N> (&strokes)[Count])
{
    for (const Stroke<N> &stroke : strokes) {
        cairo_set_source_rgb(cr, stroke.grey, stroke.grey, stroke.grey);
        for (const Segment &s : stroke.segments) {
            cairo_move_to(cr, s.x0, s.y0);
            cairo_line_to(cr, s.x1, s.y1);
        }
        cairo_stroke(cr);
    }
}

// A point's block covers x to x + 2; mirrored by x -> 500 - x it starts at
// 498 - x.
void paint_arrowhead(cairo_t *cr, bool mirrored)
{
    for (const GreyPoint &p : kLeftArrowhead)
        cairo_set_greypoint(cr, p.level, mirrored ? 498 - p.x : p.x, p.y);
}

} // namespace

void cairo_set_greypoint(cairo_t *cr, double level, double x, double y)
{
    cairo_set_source_rgb(cr, level / 255.0, level / 255.0, level / 255.0);
    cairo_move_to(cr, x, y);
    cairo_line_to(cr, x + 2, y);
    cairo_stroke(cr);
}

void TenvarixCryptoPaintDecoration(cairo_t *cr)
{
    // The caller's context comes back with its source as it was.
    cairo_save(cr);
    paint(cr, kFrame);
    paint(cr, kRuleBox);
    paint_arrowhead(cr, false);
    paint(cr, kLeftConnector);
    paint_arrowhead(cr, true);
    paint(cr, kRightConnector);
    cairo_restore(cr);
}

gboolean TenvarixCryptowindowexposeeventcallback(GtkWidget *, cairo_t *cr, gpointer)
{
    TenvarixCryptoPaintDecoration(cr);
    return FALSE;
}
