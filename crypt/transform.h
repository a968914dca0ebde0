// SPDX-License-Identifier: GPL-3.0-or-later
// The transform of one path, inside crypt/: what the run's worker does
// with each path before its commit.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "crypt.h"
#include "output.h"

// What the transform of one path asks of the run around it.
struct WriteHooks {
    // Told every progress step as it passes.
    std::function<void(const ProgressStep &)> report;
    // False stops the file (Cancelled), noticed within a block or a piece of
    // a wait for the disk.
    std::function<bool()> go_on;
    // Commits every output before this one and tells whether all of them
    // were done: asked before an output written in place is touched, and
    // when the descriptors run out. Null where nothing waits.
    std::function<bool()> commit_earlier;
};

// Opens out_name for the input's partner (a new one's mode less umask),
// reports Start, writes the XORed bytes with their milestones and reports
// End; then *written holds the complete output, ready for its commit. On a
// failure *error is its errno (as CryptRun::take tells it).
CryptOutcome WritePartner(InputFile input, const std::string &out_name, std::string_view key,
                          mode_t umask, const TransformOptions &options, const WriteHooks &hooks,
                          std::unique_ptr<PartnerOutput> *written, int *error);
