// SPDX-License-Identifier: GPL-3.0-or-later
// The clean-up at the end of the process, inside crypt/: every write, flush,
// link, rename and close of an output holds the writing lock, which an exit
// handler takes for good (EndWritingForExit), and named temporary files are
// known, so that it can remove them.
#pragma once

#include <mutex>
#include <string>

// Held around each write, flush, link, rename and close of an output, and
// the making of a named temporary file, so that the process never ends in
// the middle of one: on a FUSE file system a removed file whose write was cut
// short by the end of the process can stay behind. Any number of threads
// hold it at once; only the exit-time clean-up waits for them all.
class WritingLock {
public:
    WritingLock();
    ~WritingLock();
    WritingLock(const WritingLock &) = delete;
    WritingLock &operator=(const WritingLock &) = delete;
};

// A named temporary file under way, and one that is gone or has its name.
void RegisterTemporary(const std::string &path);
void ForgetTemporary(const std::string &path);

// A file-size limit comes back from write as EFBIG, a failure of that output
// like any other, rather than ending the process with the output half written.
void WriteErrorsNotSignals();

// The path of a temporary file under way that has a name in its folder (file
// systems without unnamed temporary files), else null.
const char *CurrentTemporaryFile();

// For an exit handler, on the calling thread: stops all writing of outputs
// for good (a write under way on another thread is finished first) and
// removes every named temporary file. Only the end of the process may follow.
void EndWritingForExit();
