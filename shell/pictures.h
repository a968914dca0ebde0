// SPDX-License-Identifier: GPL-3.0-or-later
// The pictures of the three picture buttons: which button shows which, where
// the files are found and how they are shown at the screen's scale.
#pragma once

#include <gtk/gtk.h>

#include <string>

// The picture files, relative to the working directory.
extern const char *const kPictureCancelNotChosen;
extern const char *const kPictureCancelChosen;
extern const char *const kPictureSelectFileNotChosen;
extern const char *const kPictureSelectFileChosen;
extern const char *const kPictureCryptNotChosen;
extern const char *const kPictureCryptChosen;

// One picture button of the window: its widgets, its picture without and
// with the pointer over it, its name for assistive technology and its place
// on the row of buttons.
struct PictureButton {
    GtkWidget **image;
    GtkWidget **button;
    const char *not_chosen;
    const char *chosen;
    const char *accessible_name;
    int x;
};
// Cancel, Select File and Crypt, left to right.
extern const PictureButton kPictureButtons[3];

// Shows one of the picture files in a button's image; every picture the
// window shows goes through here.
void TenvarixCryptoShowPicture(GtkWidget *image, const char *picture);

// A new image that shows the picture, and on a screen of another scale the
// picture drawn for that scale.
GtkWidget *TenvarixCryptoPictureNew(const char *picture);

// The file to load for one of the picture files: the relative path itself
// when it is there, else the same picture in the installed data folder, else
// in the source tree. When none has it, the relative path, and stderr says
// once where the pictures were looked for.
std::string TenvarixCryptoPictureFile(const char *picture);
