// SPDX-License-Identifier: GPL-3.0-or-later
#include "blockreader.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string.h>
#include <system_error>
#include <unistd.h>

namespace {

constexpr std::size_t kPageSize = 4096;
// The XOR runs over pieces of this size against the pre-expanded key pattern.
constexpr std::size_t kPieceSize = 16 * 1024;

// The reader's thread keeps the kernel reading this far ahead of the reads,
// asking for more each time the reads have taken up another step of it: the
// ring holds only a megabyte, and while the consumer waits for its writes to
// reach the disk (up to 16 MiB under writeback), the disk goes on reading
// instead of idling until the next read. What is read ahead is held in the
// page cache only.
constexpr off_t kHintWindow = 64 * 1024 * 1024;
constexpr off_t kHintStep = 8 * 1024 * 1024;
// Each request is cut into pieces of this size: the kernel reads at most its
// read-ahead size (or the disk's largest transfer) from where a request
// begins, and told of a sequential read it doubles the usual 128 KiB.
constexpr off_t kHintPiece = 256 * 1024;

// The key repeated so that a piece starting at any key position finds its
// bytes in one run: pattern[k + i] is key[(k + i) % key length].
SecretBytes expand_key(std::string_view key)
{
    SecretBytes pattern(kPieceSize + key.size());
    char *p = pattern.data();
    std::memcpy(p, key.data(), key.size());
    // Doubling what is there: a few copies instead of a division per byte.
    for (std::size_t have = key.size(); have < pattern.size(); have *= 2)
        std::memcpy(p + have, p, std::min(have, pattern.size() - have));
    return pattern;
}

// ThreadSanitizer cannot run the resolver of a cloned function, which the
// loader calls before the sanitizer has started.
#ifndef __SANITIZE_THREAD__
__attribute__((target_clones("avx2", "default")))
#endif
void xor_piece(unsigned char *__restrict data, const unsigned char *__restrict pattern,
               std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i)
        data[i] ^= pattern[i];
}

// XORs data with the key from key position *position on, and advances it.
void xor_with_key(char *data, std::size_t size, const SecretBytes &pattern, std::size_t key_size,
                  std::size_t *position)
{
    auto *bytes = reinterpret_cast<unsigned char *>(data);
    const auto *pat = reinterpret_cast<const unsigned char *>(pattern.c_str());
    while (size > 0) {
        const std::size_t piece = std::min(size, kPieceSize);
        xor_piece(bytes, pat + *position, piece);
        *position = (*position + piece) % key_size;
        bytes += piece;
        size -= piece;
    }
}

} // namespace

XorBlockReader::XorBlockReader(int fd, std::string_view key, ReadFn read, std::uint64_t expected)
    : fd_(fd),
      read_(read ? std::move(read)
                 : ReadFn([](int f, char *b, std::size_t n) { return ::read(f, b, n); })),
      // A byte more than expected fits, so that a small input that grew
      // shows it within its first block.
      block_size_(static_cast<std::size_t>(
          std::min<std::uint64_t>(kBlockSize, (expected + kPageSize) / kPageSize * kPageSize))),
      // An empty key leaves the bytes as they are.
      pattern_(expand_key(key.empty() ? std::string_view("\0", 1) : key)),
      key_size_(key.empty() ? 1 : key.size()),
      expected_(expected)
{
    // An input known to fit in one block is read by next() itself, into one
    // slot: a thread would cost more than the read.
    const bool one_block = expected < block_size_;
    for (Slot &slot : slots_) {
        void *p = nullptr;
        if (::posix_memalign(&p, kPageSize, block_size_) != 0)
            throw std::bad_alloc();
        slot.buffer = Buffer(static_cast<char *>(p), &::free);
        if (one_block)
            return;
    }
    try {
        thread_ = std::thread(&XorBlockReader::run, this);
    } catch (const std::system_error &) {
        // No thread to be had: next() fills the first slot itself.
    }
}

XorBlockReader::~XorBlockReader()
{
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        freed_cv_.notify_all();
        thread_.join();
    }
    // Only what was filled: wiping whole blocks would cost a small file more
    // than its transform.
    for (Slot &slot : slots_)
        if (slot.buffer)
            explicit_bzero(slot.buffer.get(), slot.used);
}

void XorBlockReader::fill(Slot &slot)
{
    slot.size = 0;
    if (failed_ || ended_) {
        slot.status = failed_ ? Status::Error : Status::End;
        return;
    }
    // Whole blocks, so that the consumer's writes stay page-aligned.
    while (slot.size < block_size_) {
        const std::size_t asked = block_size_ - slot.size;
        const ssize_t n = read_(fd_, slot.buffer.get() + slot.size, asked);
        ++reads_;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error_ = errno;
            failed_ = true;
            break;
        }
        if (n == 0) {
            ended_ = true; // the end is not read twice
            break;
        }
        slot.size += static_cast<std::size_t>(n);
        // A short read that brings exactly the expected bytes is the end:
        // the caller's look at the size after the last block tells of a file
        // that grew since.
        if (static_cast<std::size_t>(n) < asked && read_total_ + slot.size == expected_) {
            ended_ = true;
            break;
        }
    }
    read_total_ += slot.size;
    slot.used = std::max(slot.used, slot.size);
    // The bytes read before a failure still come first, the error after them.
    slot.status = slot.size > 0 ? Status::Block : failed_ ? Status::Error : Status::End;
    xor_with_key(slot.buffer.get(), slot.size, pattern_, key_size_, &key_position_);
}

void XorBlockReader::run()
{
    // The input is read once from its position to its end: the kernel is told
    // so, and asked to read ahead of it. A descriptor without a position is
    // read without hints.
    off_t position = ::lseek(fd_, 0, SEEK_CUR);
    const bool hints = position >= 0 && ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL) == 0;
    off_t hinted = position;
    for (;;) {
        // A request may wait for room in the disk's queue: a stop is looked
        // at between pieces.
        if (hints && hinted - position <= kHintWindow - kHintStep) {
            for (; hinted < position + kHintWindow; hinted += kHintPiece) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    if (stop_)
                        return;
                }
                ::posix_fadvise(fd_, hinted, kHintPiece, POSIX_FADV_WILLNEED);
            }
        }
        std::size_t index;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            freed_cv_.wait(lock, [this] { return stop_ || filled_ < kRingSize; });
            if (stop_)
                return;
            index = tail_;
        }
        fill(slots_[index]);
        const Status status = slots_[index].status;
        position += static_cast<off_t>(slots_[index].size);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            tail_ = (tail_ + 1) % kRingSize;
            ++filled_;
        }
        filled_cv_.notify_one();
        if (status != Status::Block)
            return;
    }
}

XorBlockReader::Status XorBlockReader::next(std::chrono::milliseconds wait, const char **data,
                                            std::size_t *size)
{
    *data = nullptr;
    *size = 0;
    if (finished_)
        return final_;

    Slot *slot = &slots_[0];
    if (!thread_.joinable()) {
        fill(*slot); // no thread to be had: the same read, here
    } else {
        std::unique_lock<std::mutex> lock(mutex_);
        if (handed_out_) {
            handed_out_ = false;
            head_ = (head_ + 1) % kRingSize;
            --filled_;
            freed_cv_.notify_one();
        }
        if (!filled_cv_.wait_for(lock, wait, [this] { return filled_ > 0; }))
            return Status::Pending;
        slot = &slots_[head_];
        handed_out_ = true;
    }

    if (slot->status != Status::Block) {
        finished_ = true;
        final_ = slot->status;
        return final_;
    }
    *data = slot->buffer.get();
    *size = slot->size;
    delivered_ += slot->size;
    return Status::Block;
}
