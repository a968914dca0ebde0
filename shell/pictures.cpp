// SPDX-License-Identifier: GPL-3.0-or-later
#include "pictures.h"

#include "window.h"

#include <cstdio>
#include <cstring>
#include <memory>

constexpr const char *kPictureCancelNotChosen = "./__png's/cancelnotchosen.png";
constexpr const char *kPictureCancelChosen = "./__png's/cancelchosen.png";
constexpr const char *kPictureSelectFileNotChosen = "./__png's/selectfilenotchosen.png";
constexpr const char *kPictureSelectFileChosen = "./__png's/selectfilechosen.png";
constexpr const char *kPictureCryptNotChosen = "./__png's/cryptnotchosen.png";
constexpr const char *kPictureCryptChosen = "./__png's/cryptchosen.png";

const PictureButton kPictureButtons[3] = {
    {&Image_TenvarixCryptoWindowCancel, &PBut_TenvarixCryptoWindowCancel, kPictureCancelNotChosen,
     kPictureCancelChosen, "Cancel", 50},
    {&Image_TenvarixCryptoWindowSelectFile, &PBut_TenvarixCryptoWindowSelectFile,
     kPictureSelectFileNotChosen, kPictureSelectFileChosen, "Select File", 200},
    {&Image_TenvarixCryptoWindowCrypt, &PBut_TenvarixCryptoWindowCrypt, kPictureCryptNotChosen,
     kPictureCryptChosen, "Crypt", 350},
};

namespace {

// The picture file an image shows, kept for a change of scale.
const char *const kShownPicture = "tenvarix-picture";

// Shows "name@2x.png", drawn at twice the size, in place of "name.png", at
// the layout size of the single-size picture; false when it cannot be read.
bool show_double_size(GtkWidget *image, std::string picture)
{
    const std::string suffix = ".png";
    if (picture.size() < suffix.size() ||
        picture.compare(picture.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    picture.insert(picture.size() - suffix.size(), "@2x");
    g_autoptr(GdkPixbuf) pixbuf = gdk_pixbuf_new_from_file(picture.c_str(), nullptr);
    if (!pixbuf)
        return false;
    std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface(
        gdk_cairo_surface_create_from_pixbuf(pixbuf, 2, gtk_widget_get_window(image)),
        cairo_surface_destroy);
    gtk_image_set_from_surface(GTK_IMAGE(image), surface.get());
    return true;
}

// On a screen of another scale the image shows the picture drawn for it.
void show_picture_for_scale(GObject *image, GParamSpec *, gpointer)
{
    const char *shown = static_cast<const char *>(g_object_get_data(image, kShownPicture));
    if (shown)
        TenvarixCryptoShowPicture(GTK_WIDGET(image), std::string(shown).c_str());
}

} // namespace

std::string TenvarixCryptoPictureFile(const char *picture)
{
    if (g_file_test(picture, G_FILE_TEST_IS_REGULAR))
        return picture;
    const char *slash = std::strrchr(picture, '/');
    const std::string name = slash ? slash + 1 : picture;
    const std::string folders[] = {TENVARIX_DATA_DIR "/__png's/", TENVARIX_SOURCE_DIR "/__png's/"};
    for (const std::string &folder : folders)
        if (g_file_test((folder + name).c_str(), G_FILE_TEST_IS_REGULAR))
            return folder + name;
    static bool told = false;
    if (!told) {
        told = true;
        std::fprintf(stderr, "tenvarix-crypto: %s not found in ./__png's/, %s or %s\n",
                     name.c_str(), folders[0].c_str(), folders[1].c_str());
    }
    return picture;
}

void TenvarixCryptoShowPicture(GtkWidget *image, const char *picture)
{
    g_object_set_data_full(G_OBJECT(image), kShownPicture, g_strdup(picture), g_free);
    const std::string file = TenvarixCryptoPictureFile(picture);
    if (gtk_widget_get_scale_factor(image) >= 2 && show_double_size(image, file))
        return;
    gtk_image_set_from_file(GTK_IMAGE(image), file.c_str());
}

GtkWidget *TenvarixCryptoPictureNew(const char *picture)
{
    GtkWidget *image = gtk_image_new();
    TenvarixCryptoShowPicture(image, picture);
    g_signal_connect(image, "notify::scale-factor", G_CALLBACK(show_picture_for_scale), nullptr);
    return image;
}
