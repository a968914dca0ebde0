// SPDX-License-Identifier: GPL-3.0-or-later
#include "secret.h"

#include <cstring>
#include <string.h>

SecretBytes::SecretBytes(std::size_t size) : bytes_(std::make_unique<char[]>(size + 1)), size_(size)
{
}

SecretBytes::SecretBytes(std::string_view text) : SecretBytes(text.size())
{
    std::memcpy(bytes_.get(), text.data(), text.size());
}

SecretBytes &SecretBytes::operator=(SecretBytes &&other) noexcept
{
    if (this != &other) {
        wipe();
        bytes_ = std::move(other.bytes_);
        size_ = other.size_;
        other.size_ = 0;
    }
    return *this;
}

SecretBytes::~SecretBytes()
{
    wipe();
}

void SecretBytes::wipe()
{
    if (bytes_)
        explicit_bzero(bytes_.get(), size_ + 1);
}
