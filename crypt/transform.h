// SPDX-License-Identifier: GPL-3.0-or-later
// The transform of one path, inside crypt/: the run's worker and
// TransformFile both go through it.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "crypt.h"
#include "output.h"

// Told every progress step as it passes; never asked for an answer.
using StepFn = std::function<void(const ProgressStep &)>;

// Opens out_name for the input's partner (a new one's mode less umask), reports Start, writes the XORed
// bytes with their milestones and reports End; then *written holds the
// complete output, ready for its commit. go_on false stops the file
// (Cancelled), noticed within a block or a piece of a wait for the disk.
CryptOutcome WritePartner(InputFile input, const std::string &out_name, std::string_view key,
                          mode_t umask, const TransformOptions &options, const StepFn &report,
                          const std::function<bool()> &go_on,
                          std::unique_ptr<PartnerOutput> *written);
