// SPDX-License-Identifier: GPL-3.0-or-later
#include "identity.h"
#include "fd.h"

#include <acl/libacl.h>
#include <attr/libattr.h>
#include <cerrno>
#include <linux/fs.h>
#include <map>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// The chattr flags a plain overwrite keeps and a replacement must carry over.
constexpr unsigned kKeptFlags =
    (FS_FL_USER_MODIFIABLE | FS_NOCOW_FL | FS_DAX_FL | FS_PROJINHERIT_FL) &
    ~(FS_IMMUTABLE_FL | FS_APPEND_FL);

// What a call that fills a buffer of a size it is asked first gives: the
// buffer's size asked again should it grow in between (ERANGE). False with
// errno when the call fails.
template <typename Fetch> bool fetch_sized(std::string *into, Fetch fetch)
{
    for (;;) {
        const ssize_t size = fetch(nullptr, 0);
        if (size < 0)
            return false;
        if (size == 0) {
            into->clear();
            return true;
        }
        into->assign(static_cast<std::size_t>(size), '\0');
        const ssize_t got = fetch(into->data(), into->size());
        if (got >= 0) {
            into->resize(static_cast<std::size_t>(got));
            return true;
        }
        if (errno != ERANGE)
            return false;
    }
}

// Every extended attribute of a file, ACLs among them, by name; false when
// they cannot all be read.
bool read_attributes(int fd, std::map<std::string, std::string> *attributes)
{
    std::string list;
    if (!fetch_sized(&list, [fd](char *b, std::size_t n) { return ::flistxattr(fd, b, n); }))
        return NotSupported(errno); // none on this file system
    for (std::size_t at = 0; at < list.size();) {
        std::size_t end = list.find('\0', at);
        if (end == std::string::npos)
            end = list.size();
        const std::string name = list.substr(at, end - at);
        at = end + 1;
        std::string value;
        if (!fetch_sized(&value, [&](char *b, std::size_t n) {
                return ::fgetxattr(fd, name.c_str(), b, n);
            }))
            return false;
        (*attributes)[name] = std::move(value);
    }
    return true;
}

// The file's chattr flags; a file system without such flags has none. False
// when they cannot be read.
bool read_flags(int fd, unsigned *flags)
{
    int raw = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &raw) != 0) {
        *flags = 0;
        return NotSupported(errno) || errno == EINVAL;
    }
    *flags = static_cast<unsigned>(raw);
    return true;
}

} // namespace

bool WithoutPermissions(int error)
{
    return NotSupported(error) || error == EPERM;
}

bool KeepFlags(int from, int to, FreshFile &fresh)
{
    unsigned old_flags = 0, flags = 0;
    if (!read_flags(from, &old_flags))
        return false;
    if (fresh.flags)
        flags = *fresh.flags;
    else if (read_flags(to, &flags))
        fresh.flags = flags;
    else
        return false;
    if ((flags & kKeptFlags) != (old_flags & kKeptFlags)) {
        int wanted = static_cast<int>((flags & ~kKeptFlags) | (old_flags & kKeptFlags));
        if (::ioctl(to, FS_IOC_SETFLAGS, &wanted) != 0 || !read_flags(to, &flags))
            return false;
    }
    return (flags & kKeptFlags) == (old_flags & kKeptFlags);
}

Identity KeepIdentity(int from, const struct stat &old, int to, const struct stat &made,
                      FreshFile &fresh)
{
    auto refused = [] { return errno == EACCES ? Identity::NotKept : Identity::Failed; };
    // The owner is given only where the new file has another.
    const bool owned = made.st_uid == old.st_uid && made.st_gid == old.st_gid;
    if (!owned && ::fchown(to, old.st_uid, old.st_gid) != 0 && !WithoutPermissions(errno))
        return refused();
    std::map<std::string, std::string> wanted, have;
    const bool listed = read_attributes(from, &wanted);
    // An earlier file without ACL, attributes or set-ID and sticky bits has
    // nothing but its permission bits to give, which the copies below would
    // set as these do (a new file made with them needs no change); unless
    // the new file has an ACL of its own (from its folder's default), which
    // only they take away.
    bool copied = false, moded = false;
    if (listed && wanted.empty() && (old.st_mode & 07000) == 0) {
        moded =
            (made.st_mode & 07777) == (old.st_mode & 0777) || ::fchmod(to, old.st_mode & 0777) == 0;
        if (!moded && !WithoutPermissions(errno))
            return refused();
        if (!fresh.bare && read_attributes(to, &have))
            fresh.bare = have.empty();
        copied = fresh.bare.value_or(false);
    }
    // Its owner as it was and its mode just set: nothing left to look at.
    if (copied && owned && moded)
        return Identity::Kept;
    if (!copied) {
        if (perm_copy_fd(nullptr, from, nullptr, to, nullptr) != 0 &&
            ::fchmod(to, old.st_mode & 07777) != 0 && !WithoutPermissions(errno))
            return refused();
        // Attributes that cannot be read or copied stay with the earlier
        // file, written in place.
        if (attr_copy_fd(nullptr, from, nullptr, to, nullptr, nullptr) != 0 && !NotSupported(errno))
            return Identity::NotKept;
        have.clear();
        if (!listed) {
            wanted.clear();
            if (!read_attributes(from, &wanted))
                return Identity::NotKept;
        }
        if (!read_attributes(to, &have) || wanted != have)
            return Identity::NotKept;
    }
    struct stat now;
    const bool same = ::fstat(to, &now) == 0 && now.st_uid == old.st_uid &&
                      now.st_gid == old.st_gid && (now.st_mode & 07777) == (old.st_mode & 07777);
    return same ? Identity::Kept : Identity::NotKept;
}
