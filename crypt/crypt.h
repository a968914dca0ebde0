// SPDX-License-Identifier: GPL-3.0-or-later
// Key validation and file crypt, free of GTK, made of the headers of its
// parts, each usable and testable on its own: the key rules, the naming rule
// and the file list, the run that transforms a list of paths, and the
// exit-time clean-up. The shell's crypt run drives them from the window.
#pragma once

#include "exitcleanup.h"
#include "keyrules.h"
#include "names.h"
#include "run.h"
#include "secret.h"
