// SPDX-License-Identifier: GPL-3.0-or-later
#include "writeback.h"
#include "exitcleanup.h"

#include <algorithm>
#include <fcntl.h>

namespace {

// How much may be under writeback at once: about kInFlightTime of the
// disk's measured writing, within these bounds, in steps of kGrain. More
// keeps a fast disk busy; but what is under writeback must reach the disk
// before a cancelled file is gone, so a slow disk gets little. A file starts
// at the least, since nothing is known of the disk yet; the first measure
// comes after kFirstMeasure, so a fast disk is held back only briefly.
constexpr std::uint64_t kGrain = Writeback::kMinInFlight / 2;
constexpr std::uint64_t kMaxInFlight = 16 * 1024 * 1024;
constexpr double kInFlightTime = 0.05; // seconds
constexpr double kFirstMeasure = 0.02; // seconds
constexpr double kMeasure = 0.1;       // seconds
// Writeback is started for stretches of half that, within these bounds, and
// waited for in pieces of a quarter, with a look between them at whether the
// run still goes on.
constexpr std::uint64_t kMinStretch = kGrain;
constexpr std::uint64_t kMaxStretch = 2 * 1024 * 1024;
constexpr std::uint64_t kMaxWaitPiece = 1024 * 1024;

} // namespace

bool Writeback::advance(int fd, std::uint64_t written)
{
    for (;;) {
        const std::uint64_t stretch = std::clamp(in_flight_ / 2, kMinStretch, kMaxStretch);
        if (written - started_ < stretch)
            return true;
        {
            const WritingLock writing;
            if (::sync_file_range(fd, static_cast<off_t>(started_), static_cast<off_t>(stretch),
                                  SYNC_FILE_RANGE_WRITE) != 0)
                return false;
        }
        started_ += stretch;
        // What lies further back goes to disk and leaves the cache.
        if (started_ > in_flight_ && !wait_for_disk(fd, started_ - in_flight_, true))
            return false;
    }
}

bool Writeback::wait_for_disk(int fd, std::uint64_t end, bool drop)
{
    const std::uint64_t from = settled_;
    while (settled_ < end) {
        if (!going_on()) {
            errno = ECANCELED;
            return false;
        }
        const std::uint64_t piece =
            std::min(std::clamp(in_flight_ / 4, kMinStretch, kMaxWaitPiece), end - settled_);
        const WritingLock writing;
        if (::sync_file_range(fd, static_cast<off_t>(settled_), static_cast<off_t>(piece),
                              SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                  SYNC_FILE_RANGE_WAIT_AFTER) != 0)
            return false;
        if (drop)
            ::posix_fadvise(fd, static_cast<off_t>(settled_), static_cast<off_t>(piece),
                            POSIX_FADV_DONTNEED);
        settled_ += piece;
    }
    measure(from);
    return true;
}

// The disk's speed, from what settled over the last tenth of a second or
// more: at the disk's pace when it is the bottleneck, and where it is not,
// little is under writeback anyway.
void Writeback::measure(std::uint64_t from)
{
    const auto now = std::chrono::steady_clock::now();
    if (mark_time_ == std::chrono::steady_clock::time_point{}) {
        mark_time_ = now;
        mark_settled_ = from;
    }
    const std::chrono::duration<double> span = now - mark_time_;
    if (span.count() < (measured_ ? kMeasure : kFirstMeasure))
        return;
    const double fits = double(settled_ - mark_settled_) * kInFlightTime / span.count();
    in_flight_ = std::clamp<std::uint64_t>(static_cast<std::uint64_t>(fits) / kGrain * kGrain,
                                           kMinInFlight, kMaxInFlight);
    measured_ = true;
    mark_time_ = now;
    mark_settled_ = settled_;
}
