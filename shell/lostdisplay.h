// SPDX-License-Identifier: GPL-3.0-or-later
// A lost display (a logout, a compositor gone) on X11 or Wayland.
#pragma once

// From now on a lost display ends the writing at once: the files shown done
// take their names and a named temporary file under way goes first. Needs
// the default display open.
void TenvarixCryptoCatchLostDisplay();
