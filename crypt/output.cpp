// SPDX-License-Identifier: GPL-3.0-or-later
#include "output.h"

#include "exitcleanup.h"
#include "identity.h"
#include "paths.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// Room for the file is set aside this far ahead of the writes.
constexpr std::uint64_t kReserveStep = 64 * 1024 * 1024;

} // namespace

PartnerOutput::~PartnerOutput()
{
    discard();
}

FreshFile FolderCache::Folder::fresh() const
{
    FreshFile file;
    if (const long long flags = fresh_flags_; flags >= 0)
        file.flags = static_cast<unsigned>(flags);
    if (const int bare = fresh_bare_; bare >= 0)
        file.bare = bare == 1;
    return file;
}

void FolderCache::Folder::learn(const FreshFile &file) const
{
    if (file.flags)
        fresh_flags_ = *file.flags;
    if (file.bare)
        fresh_bare_ = *file.bare ? 1 : 0;
}

std::shared_ptr<const FolderCache::Folder> FolderCache::open(const std::string &path)
{
    if (last_ && last_->path == path)
        return last_;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd && errno == EACCES)
        fd = UniqueFd(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        return nullptr;
    auto folder = std::make_shared<Folder>();
    folder->path = path;
    folder->fd = std::move(fd);
    struct stat st;
    if (::fstat(folder->fd.get(), &st) != 0)
        return nullptr;
    folder->device = st.st_dev;
    folder->flush = FlushOf(folder->fd.get());
    folder->default_acl =
        ::fgetxattr(folder->fd.get(), "system.posix_acl_default", nullptr, 0) >= 0 ||
        (errno != ENODATA && !NotSupported(errno));
    folder->first_name = RandomNumber();
    last_ = folder;
    return folder;
}

bool PartnerOutput::open_directory(const std::string &directory, FolderCache &folders)
{
    folder_ = folders.open(directory);
    return static_cast<bool>(folder_);
}

namespace {

// The existing output is opened as the user's own plain open for writing
// would: the kernel judges permissions, protected links, read-only mounts
// and FIFOs.
constexpr int kWriteExisting = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

} // namespace

bool PartnerOutput::open(const std::string &out_name, const InputFile &input, mode_t umask,
                         bool durable, NameFound looked, FolderCache *given)
{
    WriteErrorsNotSignals();
    durable_ = durable;
    if (out_name.empty()) {
        errno = ENOENT;
        return false;
    }
    std::optional<FolderCache> own;
    FolderCache &folders = given ? *given : own.emplace();
    // A full name just found to be a regular file, no link, is opened in its
    // folder: then it is known to be there under that name. Should it have
    // changed meanwhile, it is opened by its path below.
    if (looked == NameFound::RegularFile && out_name.front() == '/' &&
        open_directory(directory_of(out_name), folders)) {
        base_ = name_in_directory(out_name);
        UniqueFd existing(::openat(dir(), base_.c_str(), kWriteExisting | O_NOFOLLOW));
        if (existing)
            return open_existing(std::move(existing), input, true, folders);
    }
    if (looked != NameFound::Nothing) {
        UniqueFd existing(::open(out_name.c_str(), kWriteExisting));
        if (existing)
            return open_existing(std::move(existing), input, false, folders);
        struct stat st;
        if (errno != ENOENT || ::lstat(out_name.c_str(), &st) == 0)
            return false; // refused, or a link that leads nowhere
    }
    base_ = name_in_directory(out_name);
    if (base_.empty() || base_ == "." || base_ == "..") {
        errno = EISDIR;
        return false;
    }
    if (!open_directory(directory_of(out_name), folders))
        return false;
    // Longer than any file system's names usually are: asked of this one.
    const long name_max = base_.size() > 255 ? ::fpathconf(dir(), _PC_NAME_MAX) : 0;
    if (name_max > 0 && base_.size() > static_cast<std::size_t>(name_max)) {
        errno = ENAMETOOLONG;
        return false;
    }
    new_mode_ = (input.mode & 0666) & ~umask;
    // Unnamed, the file can be reached only through this process, so it may
    // have its mode from the start, unless a default ACL of its folder would
    // make that mode something else.
    if (!create_temporary(folder_->default_acl ? 0600 : new_mode_))
        return false;
    mode_given_ = !folder_->default_acl && named_.empty();
    return true;
}

namespace {

// The stat of a file as statx tells it, for the fields a stat of it is
// asked for here.
struct stat StatOf(const struct statx &sx)
{
    struct stat st {};
    st.st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    st.st_ino = sx.stx_ino;
    st.st_mode = sx.stx_mode;
    st.st_nlink = sx.stx_nlink;
    st.st_uid = sx.stx_uid;
    st.st_gid = sx.stx_gid;
    st.st_size = static_cast<off_t>(sx.stx_size);
    return st;
}

} // namespace

// A replacement by rename needs the real name, and keeps the file's identity
// only for our own file with a single name that is no mount of its own; it
// needs a folder where a new file can be made. Anywhere else the file is
// written in place, as a plain overwrite would.
bool PartnerOutput::open_existing(UniqueFd existing, const InputFile &input, bool in_folder,
                                  FolderCache &folders)
{
    // One statx tells the file and whether it is a mount of its own; where
    // the kernel has none, a stat tells the file and it is written in place.
    struct statx sx;
    struct stat st;
    const bool told = ::statx(existing.get(), "", AT_EMPTY_PATH, STATX_BASIC_STATS, &sx) == 0 &&
                      (sx.stx_mask & STATX_BASIC_STATS) == STATX_BASIC_STATS;
    if (told)
        st = StatOf(sx);
    else if (::fstat(existing.get(), &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode) || (static_cast<std::uint64_t>(st.st_dev) == input.device &&
                                 static_cast<std::uint64_t>(st.st_ino) == input.inode)) {
        errno = S_ISREG(st.st_mode) ? EINVAL : ENOTSUP;
        return false;
    }
    target_ = std::move(existing);
    bool replace = told && !(sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) &&
                   st.st_uid == folders.user() && st.st_nlink == 1;
    if (replace && !in_folder) {
        // Found by its path: its real name, and a look there that it is the
        // file opened.
        const std::string real = PathOf(target_.get());
        base_ = name_in_directory(real);
        struct stat named;
        replace = !real.empty() && real.front() == '/' &&
                  open_directory(directory_of(real), folders) &&
                  ::fstatat(dir(), base_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                  SameFile(named, st);
    }
    if (replace) {
        earlier_ = st;
        // Made with the earlier file's permissions where nothing would change
        // them, so that keeping its identity needs no mode change.
        const mode_t mode = folder_->default_acl ? 0600 : st.st_mode & 0777;
        if (!create_temporary(mode)) {
            // Only a folder that refuses new files leaves the plain overwrite;
            // a full disk or any other failure changes nothing.
            if (errno != EACCES && errno != EPERM)
                return false;
        } else {
            FreshFile fresh = folder_->fresh();
            const bool kept = KeepFlags(target_.get(), temp_.get(), fresh);
            folder_->learn(fresh);
            if (kept) {
                way_ = Way::Replacement;
                return true;
            }
        }
    }
    write_in_place();
    folder_.reset();
    return true;
}

bool PartnerOutput::create_temporary(mode_t mode)
{
    // Unnamed until complete.
    temp_ = UniqueFd(::openat(dir(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode));
    if (temp_)
        return true;
    if (!NotSupported(errno) && errno != EISDIR && errno != EINVAL)
        return false;
    // Made and recorded under the writing lock, so that nothing is made
    // once the exit-time clean-up has run.
    const WritingLock writing;
    return take_hidden_name([this](const std::string &name) {
        temp_ = UniqueFd(::openat(dir(), name.c_str(),
                                  O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        return static_cast<bool>(temp_);
    });
}

bool PartnerOutput::take_hidden_name(const std::function<bool(const std::string &)> &make)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        named_ = folder_->hidden_name();
        if (make(named_)) {
            RegisterTemporary(hidden_path());
            return true;
        }
        if (errno != EEXIST)
            break;
    }
    named_.clear();
    return false;
}

std::optional<InputFile> PartnerOutput::reopen_for_reading(const std::optional<InputFile> &at_name,
                                                           int error) const
{
    if (in_place() || !temp_ || !named_.empty())
        return std::nullopt;
    unsigned mode = new_mode_;
    if (way_ == Way::New) {
        // The path resolves to the missing name; once made, the file is the
        // user's own, readable as its mode says.
        if (at_name || error != ENOENT || !(new_mode_ & S_IRUSR))
            return std::nullopt;
    } else {
        // The path leads to the earlier file, whose only name this output
        // takes with the earlier file's owner, mode, ACL and attributes (or
        // whose bytes it becomes).
        if (!at_name || static_cast<std::uint64_t>(earlier_.st_dev) != at_name->device ||
            static_cast<std::uint64_t>(earlier_.st_ino) != at_name->inode)
            return std::nullopt;
        mode = at_name->mode;
    }
    // A second descriptor of the temporary file, read from its start: the
    // file is complete, and nothing else reads or writes it at its offset.
    UniqueFd fd(::fcntl(temp_.get(), F_DUPFD_CLOEXEC, 0));
    if (!fd || ::lseek(fd.get(), 0, SEEK_SET) != 0)
        return std::nullopt;
    // The temporary file is in the folder's file system; its inode is known
    // once the replacement keeps the earlier file's identity.
    struct stat st {};
    st.st_dev = folder_->device;
    st.st_ino = temp_inode_;
    if (temp_inode_ == 0 && ::fstat(fd.get(), &st) != 0)
        return std::nullopt;
    return InputFile{std::move(fd), written_, static_cast<std::uint64_t>(st.st_dev),
                     static_cast<std::uint64_t>(st.st_ino), mode};
}

bool PartnerOutput::write(const char *data, std::size_t size)
{
    {
        const WritingLock writing;
        // In place, the earlier bytes go only now that new ones are ready.
        if (in_place() && !emptied_) {
            if (::ftruncate(target_.get(), 0) != 0)
                return false;
            emptied_ = true;
        }
        reserve(written_ + size);
        if (!WriteAll(file(), data, size))
            return false;
        written_ += size;
    }
    return !durable_ || writeback_.advance(file(), written_);
}

// Sets room aside up to end and a little beyond, in steps short enough to
// keep a cancel prompt where that means clearing memory (tmpfs). Only in a
// file of our own: room set aside in a file written in place would stay
// with it should the run fail. Where the file system refuses, writes go on
// without.
void PartnerOutput::reserve(std::uint64_t end)
{
    if (in_place() || reserved_ >= std::min(end, expected_))
        return;
    const std::uint64_t upto = std::min(expected_, std::max(end, reserved_) + kReserveStep);
    if (::fallocate(temp_.get(), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(reserved_),
                    static_cast<off_t>(upto - reserved_)) == 0)
        reserved_ = upto;
    else
        expected_ = 0;
}

void PartnerOutput::write_in_place()
{
    discard();
    way_ = Way::InPlace;
}

void PartnerOutput::discard()
{
    const WritingLock writing;
    temp_.reset();
    // A replacement dropped in the middle of its commit gives the earlier
    // file its name back first.
    if (earlier_hidden_)
        exchange_names();
    earlier_hidden_ = false;
    if (!named_.empty()) {
        ::unlinkat(dir(), named_.c_str(), 0);
        ForgetTemporary(hidden_path());
    }
    named_.clear();
}
