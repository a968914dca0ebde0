// SPDX-License-Identifier: GPL-3.0-or-later
// How fast an output's bytes are pushed to the disk as they are written,
// inside crypt/.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

// Paces the writeback of one file as it is written: writeback starts for
// every stretch as soon as it is written, and what lies further back is
// waited for and dropped from the page cache, about 50 ms of the disk's
// writing under way. Every error the kernel returns here is the file's: a
// writeback error is reported once, and later flushes no longer see it.
class Writeback {
public:
    // The least kept under writeback, where every file starts.
    static constexpr std::uint64_t kMinInFlight = 64 * 1024;

    // Asked between pieces of the waits; false gives up the wait (which fails).
    void watch(std::function<bool()> go_on) { go_on_ = std::move(go_on); }
    bool going_on() const { return !go_on_ || go_on_(); }
    // The file holds `written` bytes now: starts and waits for what is due.
    bool advance(int fd, std::uint64_t written);
    // Waits until the first `end` bytes are on disk.
    bool settle(int fd, std::uint64_t end) { return wait_for_disk(fd, end, false); }

private:
    bool wait_for_disk(int fd, std::uint64_t end, bool drop);
    void measure(std::uint64_t from);

    std::function<bool()> go_on_;
    // Bytes whose writeback was started, and known to be on disk.
    std::uint64_t started_ = 0, settled_ = 0;
    // Bytes allowed under writeback behind the stretch just started; follows
    // the disk's speed, from the least.
    std::uint64_t in_flight_ = kMinInFlight;
    bool measured_ = false;
    std::chrono::steady_clock::time_point mark_time_{};
    std::uint64_t mark_settled_ = 0;
};
