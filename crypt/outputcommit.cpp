// SPDX-License-Identifier: GPL-3.0-or-later
// The commit of a complete output: what it keeps of the earlier file, its
// data and its name made durable, and the name taken.
#include "output.h"

#include "exitcleanup.h"
#include "identity.h"
#include "paths.h"
#include "secret.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/vfs.h>
#include <unistd.h>

void PartnerOutput::keep_identity(bool just_opened)
{
    if (way_ != Way::Replacement || identity_)
        return;
    struct stat old = earlier_, made;
    if ((!just_opened && ::fstat(target_.get(), &old) != 0) || ::fstat(temp_.get(), &made) != 0) {
        identity_ = Identity::Failed;
    } else {
        FreshFile fresh = folder_->fresh();
        identity_ = KeepIdentity(target_.get(), old, temp_.get(), made, fresh);
        folder_->learn(fresh);
        temp_inode_ = made.st_ino;
    }
    identity_error_ = errno;
}

bool PartnerOutput::overwrites_earlier_file()
{
    keep_identity();
    return identity_ == Identity::NotKept;
}

// Where the replacement cannot keep the earlier file's identity: the
// complete bytes are written into that file, as a plain overwrite would.
bool PartnerOutput::copy_into_place()
{
    // The buffer first: the earlier bytes go only when the new ones can follow.
    SecretBytes buffer(1024 * 1024);
    if (const WritingLock writing; ::ftruncate(target_.get(), 0) != 0)
        return false;
    for (off_t at = 0;;) {
        const ssize_t n = ReadFull(temp_.get(), buffer.data(), buffer.size(), at);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        if (!writeback_.going_on())
            return false;
        if (const WritingLock writing;
            !WriteAll(target_.get(), buffer.data(), static_cast<std::size_t>(n), at))
            return false;
        at += n;
    }
    const WritingLock writing;
    return !durable_ || ::fsync(target_.get()) == 0;
}

bool PartnerOutput::commit_data()
{
    if (overwrites_earlier_file()) {
        // The bytes reach the disk first, so that the copy reads them back
        // from what is durable rather than wait behind them.
        if (durable_ && !writeback_.settle(temp_.get(), written_))
            return false;
        if (!copy_into_place())
            return false;
        write_in_place();
        emptied_ = true;
        return true;
    }
    if (identity_ == Identity::Failed) {
        errno = identity_error_;
        return false;
    }
    if (in_place()) {
        const WritingLock writing;
        if (!emptied_ && ::ftruncate(target_.get(), 0) != 0)
            return false;
        emptied_ = true;
    }
    const WritingLock writing;
    return way_ != Way::New || mode_given_ || ::fchmod(temp_.get(), new_mode_) == 0 ||
           WithoutPermissions(errno);
}

bool PartnerOutput::make_durable(bool flushed_with_file_system, bool errors_heard)
{
    if (!durable_ || (flushed_with_file_system && errors_heard))
        return true;
    // The bytes go to disk in pieces first, so that the flush below is short
    // and a cancel meanwhile is prompt. After a flush of the file system this
    // finds nothing left to write but still hears of this file's errors.
    if (!writeback_.settle(file(), written_))
        return false;
    const WritingLock writing;
    return flushed_with_file_system || ::fsync(file()) == 0;
}

FileSystemFlush FlushOf(int fd)
{
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0)
        return {};
    switch (static_cast<unsigned long>(fs.f_type)) {
    case FUSE_SUPER_MAGIC:
    case NFS_SUPER_MAGIC:
    case CIFS_SUPER_MAGIC:
    case SMB2_SUPER_MAGIC:
    case SMB_SUPER_MAGIC:
    case NCP_SUPER_MAGIC:
    case CODA_SUPER_MAGIC:
    case CEPH_SUPER_MAGIC: return {};
    case EXT4_SUPER_MAGIC:
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC: break;
    default: return {true, false};
    }
    struct utsname system;
    int major = 0, minor = 0;
    const bool recent = ::uname(&system) == 0 &&
                        std::sscanf(system.release, "%d.%d", &major, &minor) == 2 &&
                        (major > 5 || (major == 5 && minor >= 8));
    return {true, recent};
}

int PartnerOutput::flush_with() const
{
    // A file made in its folder is on the folder's file system.
    const FileSystemFlush flush = folder_ && !in_place() ? folder_->flush : FlushOf(file());
    return flush.whole ? file() : -1;
}

bool PartnerOutput::flush_tells_errors() const
{
    return (folder_ && !in_place() ? folder_->flush : FlushOf(file())).tells_errors;
}

bool PartnerOutput::device(dev_t *device) const
{
    if (folder_ && !in_place()) {
        *device = folder_->device;
        return true;
    }
    struct stat st;
    if (::fstat(file(), &st) != 0)
        return false;
    *device = st.st_dev;
    return true;
}

bool PartnerOutput::commit_name(bool data_flushed, bool errors_heard)
{
    return make_durable(data_flushed, errors_heard) && take_name();
}

bool PartnerOutput::commit_end(bool name_flushed, bool keep, FolderFlushes &folders)
{
    if (!name_flushed && !named_folder_.empty()) {
        const auto [it, fresh] = folders.try_emplace(named_folder_, 0);
        if (fresh)
            it->second = flush_folder() ? 0 : errno;
        if (keep && it->second != 0) {
            keep = false;
            errno = it->second;
        }
    }
    return close_named(keep);
}

// Gives the unnamed temporary file a name in the output's folder; refused
// where the name exists.
bool PartnerOutput::link_under(const std::string &name)
{
    // Straight from the descriptor where the kernel allows it (it spares a
    // walk through /proc), else through the descriptor's link in /proc.
    if (::linkat(temp_.get(), "", dir(), name.c_str(), AT_EMPTY_PATH) == 0)
        return true;
    if (errno != EPERM && errno != ENOENT && errno != EINVAL)
        return false;
    const std::string self = DescriptorPath(temp_.get());
    return ::linkat(AT_FDCWD, self.c_str(), dir(), name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

bool PartnerOutput::rename_without_replacing()
{
    if (::renameat2(dir(), named_.c_str(), dir(), base_.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL)
        return false;
    // A file system that cannot refuse a rename over an existing name: the
    // name is claimed first by an empty file of our own, which only then
    // the rename replaces.
    UniqueFd claim(
        ::openat(dir(), base_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!claim)
        return false;
    claim.reset();
    if (::renameat(dir(), named_.c_str(), dir(), base_.c_str()) == 0)
        return true;
    const int error = errno;
    ::unlinkat(dir(), base_.c_str(), 0);
    errno = error;
    return false;
}

// The replacement takes the name by exchanging it with the earlier file,
// which stays under the hidden name until the replacement is closed and its
// name durable (close_named), so that a failure up to then can still swap
// the earlier file back. Where the file system cannot exchange names, the
// replacement is renamed over the earlier file, which cannot be had back.
bool PartnerOutput::exchange_names()
{
    return ::renameat2(dir(), named_.c_str(), dir(), base_.c_str(), RENAME_EXCHANGE) == 0;
}

bool PartnerOutput::replace_earlier_file()
{
    if (!exchange_names()) {
        if (errno != EINVAL)
            return false;
        if (::renameat(dir(), named_.c_str(), dir(), base_.c_str()) != 0)
            return false;
        ForgetTemporary(hidden_path());
        named_.clear();
        return true;
    }
    // Only our earlier file may go: should another have taken the name
    // meanwhile, it is swapped back.
    struct stat earlier;
    if (::fstatat(dir(), named_.c_str(), &earlier, AT_SYMLINK_NOFOLLOW) != 0 ||
        !SameFile(earlier, earlier_)) {
        exchange_names();
        errno = EEXIST;
        return false;
    }
    earlier_hidden_ = true;
    return true;
}

bool PartnerOutput::take_name()
{
    if (in_place())
        return true;
    const WritingLock writing;
    if (way_ == Way::New) {
        // Refused, and nothing replaced, should the name have appeared meanwhile.
        if (named_.empty() ? !link_under(base_) : !rename_without_replacing())
            return false;
        named_new_ = true;
        ForgetTemporary(hidden_path());
        named_.clear();
    } else {
        // A name of its own first, for the exchange. Only a kill -9 or a
        // crash can leave that name behind. Whether the earlier file is still
        // the one under the output's name is seen after the exchange, which
        // a file that took the name meanwhile is swapped back from.
        if (named_.empty() &&
            !take_hidden_name([this](const std::string &name) { return link_under(name); }))
            return false;
        if (!replace_earlier_file())
            return false;
    }
    named_folder_ = folder_->path;
    return true;
}

bool PartnerOutput::flush_folder()
{
    if (!durable_ || !folder_)
        return true;
    const WritingLock writing;
    if (::fsync(dir()) == 0)
        return true;
    // A folder open only as a path (or one that cannot be flushed on its
    // own) is made durable with the rest of its file system.
    return (errno == EBADF || errno == EINVAL) && ::syncfs(file()) == 0;
}

bool PartnerOutput::close_named(bool keep)
{
    const WritingLock writing;
    // A new output's file, to know its name should it be taken back.
    struct stat ours, named;
    const bool known = way_ == Way::New && temp_ && ::fstat(temp_.get(), &ours) == 0;
    // A replacement wrote nothing through the earlier file's descriptor: only
    // an output in place hears of its errors at that close.
    bool ok = keep && temp_.close();
    if (ok && way_ != Way::Replacement)
        ok = target_.close();
    // The failed close's errno, or the caller's for not keeping the output,
    // outlives the undoing below.
    const int error = errno;
    if (earlier_hidden_) {
        // The earlier file goes once the replacement is complete and named;
        // else it takes its name back and the replacement goes.
        if (!ok)
            exchange_names();
        // Closed first, whichever file goes is freed as its name goes,
        // rather than kept as an open orphan until the close.
        if (ok)
            target_.reset();
        else
            temp_.reset();
        ::unlinkat(dir(), named_.c_str(), 0);
        ForgetTemporary(hidden_path());
        named_.clear();
        earlier_hidden_ = false;
    } else if (!ok && named_new_ && known &&
               ::fstatat(dir(), base_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
               SameFile(named, ours)) {
        // A new name that may not survive is taken back, if it is still ours.
        ::unlinkat(dir(), base_.c_str(), 0);
    }
    temp_.reset();
    target_.reset();
    errno = error;
    return ok;
}
