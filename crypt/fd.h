// SPDX-License-Identifier: GPL-3.0-or-later
// An owned file descriptor and the loops that read or write a whole buffer.
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

// Writes all of data at offset (or at the file position when offset < 0),
// retrying interrupted and short writes; false with errno on an error.
bool WriteAll(int fd, const char *data, std::size_t size, off_t offset = -1);
