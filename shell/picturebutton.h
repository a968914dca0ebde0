// SPDX-License-Identifier: GPL-3.0-or-later
// The picture buttons' widget type.
#pragma once

#include <gtk/gtk.h>

// A picture button: an event box that takes the keyboard focus, presses on
// Space and Return and offers a "click" action to assistive technology, all
// through TenvarixCryptoDoIt.
GtkWidget *TenvarixCryptoPictureButtonNew();
