// SPDX-License-Identifier: GPL-3.0-or-later
// An owned file descriptor, the loops that read or write a whole buffer,
// and what the kernel's errors mean.
#pragma once

#include <cstddef>
#include <sys/types.h>

// An owned file descriptor, closed when dropped.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release();
    void reset();
    // Closes now and tells whether the close succeeded: some file systems
    // report write errors only there.
    bool close();

private:
    int fd_ = -1;
};

// Reads up to size bytes at offset, retrying interrupted and short reads
// until the end of the file; the bytes read, or -1 with errno on an error.
ssize_t ReadFull(int fd, char *data, std::size_t size, off_t offset);

// Whether an error says the call is not supported for this file or file
// system (rather than that it failed).
bool NotSupported(int error);

// Writes all of data at offset (or at the file position when offset < 0),
// retrying interrupted and short writes; false with errno on an error.
bool WriteAll(int fd, const char *data, std::size_t size, off_t offset = -1);
