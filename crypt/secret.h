// SPDX-License-Identifier: GPL-3.0-or-later
// Memory for the key and what is made of it.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

// Bytes that are wiped before their memory is released: copies of the key
// and everything derived from it. Always zero-terminated.
class SecretBytes {
public:
    SecretBytes() : SecretBytes(std::size_t{0}) {}
    explicit SecretBytes(std::size_t size);
    explicit SecretBytes(std::string_view text);
    SecretBytes(SecretBytes &&) noexcept = default;
    SecretBytes &operator=(SecretBytes &&) noexcept;
    ~SecretBytes();

    char *data() { return bytes_.get(); }
    const char *c_str() const { return bytes_.get(); }
    std::size_t size() const { return size_; }
    std::string_view view() const { return {bytes_.get(), size_}; }

private:
    void wipe();
    std::unique_ptr<char[]> bytes_;
    std::size_t size_ = 0;
};
