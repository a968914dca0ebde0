// SPDX-License-Identifier: GPL-3.0-or-later
// The application shell's chief header: what the shell offers, one header
// per part (start-up, the window, its pictures and buttons, presses and keys,
// the file list and what fills it, the run as the window shows it), each of
// which declares the widgets and variables of its part.
#pragma once

#include "chooser.h"
#include "commandline.h"
#include "decoration.h"
#include "dispatch.h"
#include "dragdrop.h"
#include "fileappend.h"
#include "filelistlines.h"
#include "folders.h"
#include "lookandfeel.h"
#include "lostdisplay.h"
#include "onewindow.h"
#include "picturebutton.h"
#include "pictures.h"
#include "startup.h"
#include "window.h"
#include "windowrun.h"
