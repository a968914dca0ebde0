// SPDX-License-Identifier: GPL-3.0-or-later
// A reader that runs ahead of its consumer: it reads an input in page-aligned
// blocks and XORs them with the repeating key on a thread of its own, through
// a small ring, so that reading and XOR overlap with the consumer's writes.
// Internal to crypt/.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <sys/types.h>
#include <thread>

#include "secret.h"

class XorBlockReader {
public:
    static constexpr std::size_t kBlockSize = 256 * 1024;
    static constexpr std::size_t kRingSize = 4;

    // How a block is read; ::read unless a test or benchmark slows or breaks it.
    using ReadFn = std::function<ssize_t(int fd, char *buffer, std::size_t size)>;

    // Reads fd from its current position; that position takes key byte 0.
    // Where no thread can be had, or the expected input fits in one block,
    // next() reads each block itself.
    // expected: the input's size, when known, so that a small input gets
    // blocks of its own size rather than a whole ring of large ones; a short
    // read that brings the bytes up to it is taken for the end.
    XorBlockReader(int fd, std::string_view key, ReadFn read = {},
                   std::uint64_t expected = kBlockSize);
    // Asks the thread to stop and joins it: it finishes at most the block it
    // is reading.
    ~XorBlockReader();
    XorBlockReader(const XorBlockReader &) = delete;
    XorBlockReader &operator=(const XorBlockReader &) = delete;

    // Block: the next block in file order, valid until the next call. End: the
    // input is exhausted. Error: a read failed after the blocks before it;
    // End and Error stay the answer from then on. Pending: nothing arrived
    // within `wait`, so the caller can do other work and ask again.
    enum class Status { Block, End, Error, Pending };
    Status next(std::chrono::milliseconds wait, const char **data, std::size_t *size);

    // After Error: the errno of the read that failed.
    int error() const { return error_; }
    // Bytes handed out in blocks so far.
    std::uint64_t bytes_read() const { return delivered_; }
    // After End, read without a thread: the whole input came in one read,
    // which found the end where the input's known size put it.
    bool read_at_once() const { return !thread_.joinable() && ended_ && reads_ == 1; }

private:
    // Page-aligned memory from posix_memalign, given back with free.
    using Buffer = std::unique_ptr<char, decltype(&::free)>;
    struct Slot {
        Buffer buffer{nullptr, &::free};
        std::size_t size = 0;
        std::size_t used = 0; // bytes ever filled, wiped when the reader goes
        Status status = Status::Block;
    };

    void fill(Slot &slot); // reads and XORs one block; producer side only
    void run();

    int fd_;
    ReadFn read_;
    std::size_t block_size_; // kBlockSize, or less for a small input
    SecretBytes pattern_;
    std::size_t key_size_;
    std::size_t key_position_ = 0; // producer side
    bool failed_ = false;          // producer side: a read failed after a partial block
    int error_ = 0;                // producer side: its errno, read once Error is handed out
    bool ended_ = false;           // producer side: a read found the end
    int reads_ = 0;                // producer side: reads asked
    std::uint64_t expected_;       // the input's size as the caller knew it
    std::uint64_t read_total_ = 0; // producer side: bytes read so far

    Slot slots_[kRingSize];
    std::mutex mutex_;
    std::condition_variable filled_cv_, freed_cv_;
    std::size_t head_ = 0, tail_ = 0, filled_ = 0; // guarded by mutex_
    bool stop_ = false;                            // guarded by mutex_

    bool handed_out_ = false; // consumer side: slots_[head_] is the caller's
    bool finished_ = false;
    Status final_ = Status::End;
    std::uint64_t delivered_ = 0;
    std::thread thread_;
};
