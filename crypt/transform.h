// SPDX-License-Identifier: GPL-3.0-or-later
// The transform of one path, inside crypt/: what the run's worker does
// with each path before its commit.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "output.h"
#include "run.h"

// What the transform of one path asks of the run around it.
struct WriteHooks {
    // Told the progress steps [first, last) as they pass: those of one block
    // together, before its bytes are written.
    std::function<void(const ProgressStep *first, const ProgressStep *last)> report;
    // False stops the file (Cancelled), noticed within a block or a piece of
    // a wait for the disk.
    std::function<bool()> go_on;
    // Commits every output before this one and tells whether all of them
    // were done: asked before an output written in place is touched, and
    // when the descriptors run out. Null where nothing waits.
    std::function<bool()> commit_earlier;
    // What a look just before found under the output name: where nothing,
    // it is made without asking first for an existing file there.
    NameFound out_name = NameFound::Unknown;
    // Where each output's folder is looked for first.
    FolderCache *folders = nullptr;
};

// What the transform of one path made: Done with the complete output, ready
// for its commit, or how it failed, with the errno of the failure (as
// CryptRun::take tells it).
struct WrittenPartner {
    CryptOutcome outcome = CryptOutcome::Done;
    int error = 0;
    std::unique_ptr<PartnerOutput> output;
};

// Opens out_name for the input's partner (a new one's mode less umask),
// reports Start, writes the XORed bytes with their milestones and reports End.
WrittenPartner WritePartner(InputFile input, const std::string &out_name, std::string_view key,
                            mode_t umask, const TransformOptions &options, const WriteHooks &hooks);
