// SPDX-License-Identifier: GPL-3.0-or-later
#include "fd.h"

#include <cerrno>
#include <unistd.h>

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept
{
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

int UniqueFd::release()
{
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::reset()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool UniqueFd::close()
{
    // Linux releases the descriptor even when close fails: never retried.
    return fd_ < 0 || ::close(release()) == 0;
}

bool WriteAll(int fd, const char *data, std::size_t size, off_t offset)
{
    while (size > 0) {
        const ssize_t n = offset < 0 ? ::write(fd, data, size) : ::pwrite(fd, data, size, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        if (offset >= 0)
            offset += n;
    }
    return true;
}

ssize_t ReadFull(int fd, char *data, std::size_t size, off_t offset)
{
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, data + got, size - got, offset + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

bool NotSupported(int error)
{
    return error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP || error == ENOTTY;
}
