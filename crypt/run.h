// SPDX-License-Identifier: GPL-3.0-or-later
// The crypt run: the inputs it opens, its progress steps, its options and
// outcomes, and the run itself over a list of paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "fd.h"

// An input opened for reading, with the size, identity and permission bits
// taken from the open file.
struct InputFile {
    UniqueFd fd;
    std::uint64_t size = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    unsigned mode = 0;
};

// Opens a regular file (links followed) without ever blocking; nothing for a
// missing path, a directory, FIFO, device or socket, or one not permitted,
// with errno saying why (EISDIR for a directory, ENOTSUP for any other file
// that is not a regular one). regular_file: a look just before found a
// regular file (no link) at path, so the look before the open is left out;
// the one after it still refuses anything else.
std::optional<InputFile> OpenInputFile(const std::string &path, bool regular_file = false);

// Where the bar is set while one file is transformed, exactly as the
// per-byte loop sets it: byte is the 1-based input byte that passes the
// milestones (the bar is set before that byte is written), milestones the
// number of 10 % marks passed so far (1 = 10 %, ..., 9 = 90 %).
struct ProgressStep {
    enum Kind { Start, Milestone, End };
    Kind kind;
    std::uint64_t byte;
    double fraction;
    int milestones;
};
std::vector<ProgressStep> ProgressSchedule(std::uint64_t size);

enum class CryptOutcome { Done, InFileNotFound, InFileNotReadable, OutFileNotWritten, Cancelled };

// The message line's text for an outcome; empty for Done and Cancelled.
std::string CryptOutcomeMessage(CryptOutcome outcome);

struct TransformOptions {
    // Off, the output is neither flushed as it is written nor made durable at
    // the end (for measuring the bare transform); all else stays the same.
    bool durable = true;
    // How the input is read; ::read when empty. For tests and measurements
    // that need a slow or failing input.
    std::function<ssize_t(int fd, char *buffer, std::size_t size)> read;
    // Told on the committing thread before a group of outputs is committed,
    // with the list index of its first file: for tests of a slow commit.
    std::function<void(std::size_t first)> committing;
};

// One progress step of the path at index `file` of the run's list.
struct RunReport {
    std::size_t file;
    ProgressStep step;
};

// How a run ended: Done, the failure of the path at index `file`, or
// Cancelled. For a failure, error is the errno of the call that failed (or
// the one that tells the case best: EISDIR for a folder, ENOTSUP for any
// other file that is not a regular one, EBUSY for an input that changed
// while read, EINVAL for an output name that leads to the input, EEXIST for
// a name another file took meanwhile, ENOMEM), and path the name it
// concerns: the path for InFile..., the output name for OutFile...; 0 and
// empty otherwise.
struct RunEnd {
    CryptOutcome outcome = CryptOutcome::Done;
    std::size_t file = 0;
    int error = 0;
    std::string path;
};

struct RunTaken {
    std::vector<RunReport> reports;
    std::optional<RunEnd> end;
};

// A crypt run over a list of paths, in list order, on a worker thread of its
// own (on the calling thread, in the constructor, only where no thread can be
// had). Each path's partner name (MakeOutFileName) is written as the input
// XOR the repeating key (restarting at key byte 0), with a Start step once the
// output is open, the steps of ProgressSchedule and an End once the input is
// read. The output name is judged as the user's own plain open for writing
// would judge it (links followed by the kernel); a name that leads to the
// input is refused. A new output, or one whose owner, mode and extended
// attributes the replacement can keep, is written to a temporary file only
// its owner can read and takes the name only when complete and durable; on
// any failure or stop an earlier file stays as it was. Any other existing
// output is overwritten in place, as a plain overwrite would. An input whose
// length changes while read gives InFileNotReadable.
// The worker never waits for its reader: it queues its progress steps and
// calls `wake` (from the worker) when the queue was empty. The run stops at
// the first path that fails; the files before it are kept. A file whose End
// was reported is committed (made durable, then named) on a committing
// thread beside the worker, with the files around it, at most about 200 ms
// plus one flush of its file system later, whatever comes after it; on
// stop() every such file is kept and the one under way is discarded. An
// output written in place is touched only once every file before it is
// committed.
class CryptRun {
public:
    CryptRun(std::vector<std::string> paths, std::string_view key, std::function<void()> wake,
             TransformOptions options = {});
    // Stops the worker and waits for it.
    ~CryptRun();
    CryptRun(const CryptRun &) = delete;
    CryptRun &operator=(const CryptRun &) = delete;

    // Asks the worker to stop; it notices within one block, while the files
    // whose End was reported are committed at once.
    void stop();
    // After stop(): waits until every file whose End was reported so far is
    // committed, however long its disk takes.
    void wait_for_commits();
    // For an end of the program that cannot wait for the worker itself (a
    // lost display): stops the run, waits for the commits of every file whose
    // End was reported, then joins the worker, or, where it is still held up
    // by its disk after a moment, lets go of it as abandon() does.
    void end_for_exit();
    // After stop(): lets go of a worker still held up (a read that a very
    // slow disk keeps waiting), where no file whose end it reported waits for
    // its commit. It reports nothing more and commits nothing; only the end
    // of the process, through EndWritingForExit(), may follow. False when the
    // worker must be waited for.
    bool abandon();
    // The steps queued since the last take, and, once the run has ended and
    // everything was taken, how it ended.
    RunTaken take();

    struct State; // shared with the worker

private:
    void let_go();
    std::shared_ptr<State> state_; // the worker holds it too
};
