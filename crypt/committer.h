// SPDX-License-Identifier: GPL-3.0-or-later
// The commits of a crypt run, inside crypt/: complete outputs are made
// durable and named in groups, in list order, on a thread of their own, so
// that a file's name never waits for the files after it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "output.h"

// A file over this size is made durable on its own, after the ones before it.
inline constexpr std::uint64_t kAloneBytes = 1024 * 1024;
// As many outputs waiting as make a group worth its two flushes.
inline constexpr std::size_t kEnoughForGroup = 512;

// An output whose bytes are all written and whose end was reported.
struct CompleteOutput {
    std::unique_ptr<PartnerOutput> output;
    std::size_t file = 0;   // its path's index in the run's list
    std::uint64_t size = 0; // its bytes
    // Where its name lives, and every name a link on the way to it has
    // (NameKeys): a path that leads to one of them waits for its commit.
    std::vector<std::string> names;
    std::chrono::steady_clock::time_point ended{};
};

// The first output whose commit failed: its path's index in the run's list
// and the errno of its failing step.
struct CommitFailure {
    std::size_t file = 0;
    int error = 0;
};

// Raises the soft open-file limit towards the hard one as far as the outputs
// waiting for their commit may need, and tells how many may wait: each
// holds up to three descriptors, and those already open count against it.
std::size_t RaiseOpenFileLimit();

class Committer {
public:
    // resolved(n) is told, from the committing thread, that n more outputs
    // were committed or discarded.
    explicit Committer(std::function<void(std::size_t)> resolved) : resolved_(std::move(resolved))
    {
    }
    // Commits what is still handed over and ends the thread.
    ~Committer() { finish(); }
    Committer(const Committer &) = delete;
    Committer &operator=(const Committer &) = delete;

    // Starts the committing thread; where none can be had, hand() runs the
    // same commits on the caller's thread, each output as it comes.
    // committing, when set, is told of each group before its commit.
    void start(bool durable, std::size_t may_wait,
               std::function<void(std::size_t first)> committing = nullptr);
    // Takes a complete output, in list order; waits while as many outputs as
    // may wait are held. After a failure it is discarded instead.
    void hand(CompleteOutput complete);
    // Commits everything handed over now and waits for it; the list index
    // of the first output that failed, if any did.
    std::optional<std::size_t> drain();
    // Commits what is handed over without waiting out the group's time (a
    // stop, a large file ahead); does not wait.
    void hurry();
    // Whether an output handed over and not yet committed takes one of these
    // names.
    bool names(const std::vector<std::string> &names);
    // For a path whose names (NameKeys) lead to a name an output handed over
    // is to take: that output's complete bytes to read instead of the path
    // (PartnerOutput::reopen_for_reading, with what the path opens as now),
    // taken while the output still waits, so that its commit cannot close
    // them meanwhile. Nothing where no such output waits, where more than
    // one or one already under commit takes those names, or after a failure:
    // the path is then read once the outputs before it are committed.
    std::optional<InputFile> waiting_bytes(const std::vector<std::string> &names,
                                           const std::optional<InputFile> &at_name, int error);
    // The list index of the first output that failed, if any did.
    std::optional<std::size_t> failed();
    // Commits everything handed over and ends the thread; the first failure,
    // if any. Any thread may call it, and more than one.
    std::optional<CommitFailure> finish();

private:
    bool due() const;
    // Enough waits for a group to be committed now: half of what may wait,
    // or kEnoughForGroup, so that the worker fills the rest meanwhile instead
    // of waiting for room, and the committing thread does not sit idle while
    // a large first group gathers.
    bool enough_for_group() const
    {
        return 2 * queue_.size() >= may_wait_ || queue_.size() >= kEnoughForGroup;
    }
    std::vector<CompleteOutput> take_group();
    void commit(std::vector<CompleteOutput> group);
    void run();

    std::function<void(std::size_t)> resolved_;
    std::function<void(std::size_t first)> committing_;
    bool durable_ = true;
    std::size_t may_wait_ = 1;

    std::mutex mutex_;
    std::condition_variable work_cv_, done_cv_;
    // Guarded by mutex_: outputs handed over and not yet taken, and all held
    // (those and the group under commit).
    std::deque<CompleteOutput> queue_;
    std::unordered_multiset<std::string> names_;
    // The names of the outputs in queue_, each with its output.
    std::unordered_multimap<std::string, const PartnerOutput *> waiting_;
    std::size_t held_ = 0, large_queued_ = 0;
    int drains_ = 0, waiting_for_room_ = 0;
    bool hurry_ = false, quit_ = false;
    bool no_thread_ = false; // the commits run in hand(), on the caller
    std::optional<CommitFailure> failed_;
    std::thread thread_;
    std::once_flag joined_;
};
