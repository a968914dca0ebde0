// SPDX-License-Identifier: GPL-3.0-or-later
// The painted decoration, checked pixel for pixel against the picture it is
// meant to leave: offscreen on an image surface, and inside the real window.
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "gui/gui_support.h"

namespace {

constexpr int kWidth = 500;
constexpr int kHeight = 550;
constexpr int kBg = 210;
constexpr int kNone = -1; // a pixel that is not an opaque grey

// The stroke greys 0.3, 0.6 and 0.9 as 8-bit levels on the surface.
constexpr int kGrey03 = 76;
constexpr int kGrey06 = 153;
constexpr int kGrey09 = 230;

using SurfacePtr = std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)>;
using ContextPtr = std::unique_ptr<cairo_t, decltype(&cairo_destroy)>;

// A window-sized image surface filled with the background grey.
SurfacePtr background_surface()
{
    SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kWidth, kHeight),
                       cairo_surface_destroy);
    ContextPtr cr(cairo_create(surface.get()), cairo_destroy);
    cairo_set_source_rgb(cr.get(), kBg / 255.0, kBg / 255.0, kBg / 255.0);
    cairo_paint(cr.get());
    return surface;
}

// Grey level of every pixel, row by row; kNone where red, green and blue
// differ or (ARGB32 only) the pixel is not opaque.
std::vector<int> grey_levels(cairo_surface_t *surface)
{
    cairo_surface_flush(surface);
    const bool has_alpha = cairo_image_surface_get_format(surface) == CAIRO_FORMAT_ARGB32;
    const unsigned char *data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    std::vector<int> levels;
    levels.reserve(kWidth * kHeight);
    for (int y = 0; y < kHeight; ++y) {
        const auto *row = reinterpret_cast<const std::uint32_t *>(data + y * stride);
        for (int x = 0; x < kWidth; ++x) {
            const std::uint32_t p = row[x];
            const int a = p >> 24, r = (p >> 16) & 0xff, g = (p >> 8) & 0xff, b = p & 0xff;
            levels.push_back(r == g && g == b && (!has_alpha || a == 255) ? r : kNone);
        }
    }
    return levels;
}

struct Picture {
    std::vector<int> levels;
    int at(int x, int y) const { return levels[y * kWidth + x]; }
};

Picture paint_decoration()
{
    SurfacePtr surface = background_surface();
    ContextPtr cr(cairo_create(surface.get()), cairo_destroy);
    TenvarixCryptoPaintDecoration(cr.get());
    return {grey_levels(surface.get())};
}

// The left arrowhead in rows 87 to 96, columns 38 to 49; -1 stands for the
// background grey.
constexpr int kArrowheadLeft = 38;
constexpr int kArrowheadTop = 87;
constexpr int kArrowhead[10][12] = {
    {-1, -1, 208, -1, -1, -1, -1, -1, -1, -1, -1, -1},
    {-1, -1, 32, 136, 208, -1, -1, -1, -1, -1, -1, -1},
    {-1, -1, 0, 0, 32, 136, 208, -1, -1, -1, -1, -1},
    {-1, -1, 0, 0, 0, 0, 32, 136, 208, -1, -1, -1},
    {-1, -1, 0, 0, 0, 0, 0, 0, 32, 136, 208, -1},
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 107, -1},
    {-1, -1, 0, 0, 0, 0, 0, 1, 73, 177, -1, -1},
    {-1, -1, 0, 0, 0, 1, 73, 177, -1, -1, -1, -1},
    {-1, -1, 0, 1, 73, 177, -1, -1, -1, -1, -1, -1},
    {-1, -1, 73, 177, -1, -1, -1, -1, -1, -1, -1, -1},
};

// The whole picture as described: a bevelled frame, a one-pixel box, two
// connectors and two mirrored arrowheads on the background grey.
Picture described_picture()
{
    Picture p{std::vector<int>(kWidth * kHeight, kBg)};
    auto set = [&](int x, int y, int level) { p.levels[y * kWidth + x] = level; };
    auto row = [&](int y, int x0, int x1, int level) {
        for (int x = x0; x <= x1; ++x)
            set(x, y, level);
    };
    auto column = [&](int x, int y0, int y1, int level) {
        for (int y = y0; y <= y1; ++y)
            set(x, y, level);
    };

    // Frame: three dark lines top and left, two light ones bottom and right;
    // the outermost lines win the corners as described.
    column(1, 1, 548, kGrey03);
    row(1, 1, 498, kGrey03);
    column(2, 2, 547, kGrey06);
    row(2, 2, 497, kGrey06);
    column(498, 2, 548, kGrey09);
    row(548, 2, 498, kGrey09);
    column(499, 1, 549, 255);
    row(549, 1, 499, 255);
    column(0, 0, 549, 0);
    row(0, 0, 499, 0);

    // Box round the key rules.
    row(102, 50, 449, 0);
    row(218, 50, 449, 0);
    column(50, 102, 218, 0);
    column(449, 102, 218, 0);

    // Connectors and their mirror images.
    row(164, 25, 49, 0);
    column(25, 92, 164, 0);
    row(92, 25, 39, 0);
    row(164, 450, 474, 0);
    column(474, 92, 164, 0);
    row(92, 460, 474, 0);

    for (int r = 0; r < 10; ++r)
        for (int c = 0; c < 12; ++c) {
            const int level = kArrowhead[r][c] < 0 ? kBg : kArrowhead[r][c];
            set(kArrowheadLeft + c, kArrowheadTop + r, level);
            set(499 - (kArrowheadLeft + c), kArrowheadTop + r, level);
        }
    return p;
}

// Lists the first differing pixels, so a failure says where to look.
std::string differences(const Picture &actual, const Picture &expected)
{
    std::ostringstream out;
    int count = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            if (actual.at(x, y) != expected.at(x, y) && count++ < 20)
                out << " (" << x << ", " << y << ") is " << actual.at(x, y) << ", expected "
                    << expected.at(x, y) << ";";
    if (count > 0)
        out << " " << count << " pixels differ";
    return out.str();
}

TEST(Decoration, every_pixel_matches_the_described_picture)
{
    const Picture actual = paint_decoration();
    EXPECT_EQ(differences(actual, described_picture()), "");
}

// Landmarks the description names outright, checked apart from the
// expected image above so that a slip in building it cannot hide a fault.
TEST(Decoration, named_landmarks_hold)
{
    const Picture p = paint_decoration();
    EXPECT_EQ(p.at(0, 0), 0);
    EXPECT_EQ(p.at(499, 0), 0);
    EXPECT_EQ(p.at(0, 549), 0);
    EXPECT_EQ(p.at(1, 549), 255);
    EXPECT_EQ(p.at(1, 1), kGrey03);
    EXPECT_EQ(p.at(498, 1), kGrey03);
    EXPECT_EQ(p.at(2, 2), kGrey06);
    EXPECT_EQ(p.at(498, 2), kGrey09);
    EXPECT_EQ(p.at(3, 3), kBg);
    EXPECT_EQ(p.at(497, 547), kBg);
    EXPECT_EQ(p.at(51, 217), kBg); // inside the box's black outline

    // Row 92 meets each arrowhead's black without the gap that painting the
    // arrowhead after its connector would leave at columns 38 and 39.
    for (int x = 25; x <= 46; ++x) {
        EXPECT_EQ(p.at(x, 92), 0) << x;
        EXPECT_EQ(p.at(499 - x, 92), 0) << 499 - x;
    }
    for (int x = 38; x <= 49; ++x)
        for (int y : {86, 97}) {
            EXPECT_EQ(p.at(x, y), kBg) << x << ", " << y;
            EXPECT_EQ(p.at(499 - x, y), kBg) << 499 - x << ", " << y;
        }
}

TEST(Decoration, handler_returns_false_ignores_user_data_and_repaints_identically)
{
    GtkWidget *area = g_object_ref_sink(gtk_drawing_area_new());
    SurfacePtr surface = background_surface();
    ContextPtr cr(cairo_create(surface.get()), cairo_destroy);
    int unrelated = 7;

    EXPECT_FALSE(TenvarixCryptowindowexposeeventcallback(area, cr.get(), nullptr));
    const std::vector<int> first = grey_levels(surface.get());
    EXPECT_FALSE(TenvarixCryptowindowexposeeventcallback(area, cr.get(), &unrelated));
    EXPECT_EQ(grey_levels(surface.get()), first);
    EXPECT_EQ(differences(Picture{first}, described_picture()), "");
    g_object_unref(area);
}

using DecorationInWindow = gui::WindowTest;

TEST_F(DecorationInWindow, shows_the_decoration_where_no_widget_covers_it)
{
    SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, kWidth, kHeight),
                       cairo_surface_destroy);
    {
        ContextPtr cr(cairo_create(surface.get()), cairo_destroy);
        gtk_widget_draw(TenvarixCryptoWindow, cr.get());
    }
    const Picture window{grey_levels(surface.get())};
    const Picture expected = described_picture();
    struct Spot {
        int x, y;
        const char *what;
    };
    const Spot spots[] = {
        {0, 0, "frame corner"},       {499, 0, "frame corner"},      {0, 549, "frame corner"},
        {1, 549, "frame corner"},     {1, 1, "frame band"},          {2, 2, "frame band"},
        {498, 2, "frame band"},       {3, 3, "frame inner"},         {48, 92, "left tip"},
        {47, 92, "left tip"},         {40, 96, "left arrowhead"},    {451, 92, "right tip"},
        {459, 96, "right arrowhead"}, {30, 92, "left connector"},    {25, 130, "left connector"},
        {35, 164, "left connector"},  {474, 130, "right connector"}, {465, 164, "right connector"},
        {50, 218, "box corner"},      {449, 218, "box corner"},      {51, 217, "box inside"},
    };
    for (const Spot &s : spots)
        EXPECT_EQ(window.at(s.x, s.y), expected.at(s.x, s.y))
            << s.what << " (" << s.x << ", " << s.y << ")";
}

} // namespace
