// SPDX-License-Identifier: GPL-3.0-or-later
// What both small-file helpers do to each listed file: read it whole into
// one buffer kept for the list, and XOR it with the repeating key.
#pragma once

#include "crypt/fd.h"

#include <cstddef>
#include <string>
#include <sys/types.h>
#include <vector>

// Reads all of fd from its start into buffer, grown as needed and never
// shrunk; the bytes read, or -1 with errno on an error.
inline ssize_t ReadWhole(int fd, std::vector<char> &buffer)
{
    if (buffer.empty())
        buffer.resize(1 << 16);
    std::size_t size = 0;
    for (;;) {
        const ssize_t n =
            ReadFull(fd, buffer.data() + size, buffer.size() - size, static_cast<off_t>(size));
        if (n < 0)
            return -1;
        size += static_cast<std::size_t>(n);
        if (size < buffer.size())
            return static_cast<ssize_t>(size);
        buffer.resize(2 * buffer.size());
    }
}

// XORs the first size bytes of data with the repeating key.
inline void XorWithKey(char *data, std::size_t size, const std::string &key)
{
    for (std::size_t i = 0; i < size; ++i)
        data[i] ^= key[i % key.size()];
}
