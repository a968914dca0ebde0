// SPDX-License-Identifier: GPL-3.0-or-later
#include "run.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

// Only regular files are read: errno for any other kind.
int refusal_of(mode_t mode)
{
    return S_ISDIR(mode) ? EISDIR : ENOTSUP;
}

} // namespace

std::optional<InputFile> OpenInputFile(const std::string &path, bool regular_file)
{
    // Looking first keeps a FIFO from being opened at all (unless the caller
    // just found a regular file there); O_NONBLOCK keeps the open from
    // blocking should the path change in between.
    struct stat st;
    if (path.empty()) {
        errno = ENOENT;
        return std::nullopt;
    }
    if (!regular_file && ::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    if (!regular_file && !S_ISREG(st.st_mode)) {
        errno = refusal_of(st.st_mode);
        return std::nullopt;
    }
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd || ::fstat(fd.get(), &st) != 0)
        return std::nullopt;
    if (!S_ISREG(st.st_mode)) {
        errno = refusal_of(st.st_mode);
        return std::nullopt;
    }
    return InputFile{std::move(fd), static_cast<std::uint64_t>(st.st_size),
                     static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                     static_cast<unsigned>(st.st_mode & 07777)};
}
