// SPDX-License-Identifier: GPL-3.0-or-later
#include "output.h"

#include <acl/libacl.h>
#include <algorithm>
#include <attr/libattr.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <linux/fs.h>
#include <map>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace {

// How much may be under writeback at once: about kInFlightTime of the
// disk's measured writing, within these bounds, in steps of kGrain. More
// keeps a fast disk busy; but what is under writeback must reach the disk
// before a cancelled file is gone, so a slow disk gets little. A file starts
// at the least, since nothing is known of the disk yet; the first measure
// comes after kFirstMeasure, so a fast disk is held back only briefly.
constexpr std::uint64_t kGrain = Writeback::kMinInFlight / 2;
constexpr std::uint64_t kMinInFlight = Writeback::kMinInFlight;
constexpr std::uint64_t kMaxInFlight = 16 * 1024 * 1024;
constexpr double kInFlightTime = 0.05;  // seconds
constexpr double kFirstMeasure = 0.02;  // seconds
constexpr double kMeasure = 0.1;        // seconds
// Writeback is started for stretches of half that, within these bounds, and
// waited for in pieces of a quarter, with a look between them at whether the
// run still goes on.
constexpr std::uint64_t kMinStretch = kGrain;
constexpr std::uint64_t kMaxStretch = 2 * 1024 * 1024;
constexpr std::uint64_t kMaxWaitPiece = 1024 * 1024;
// Room for the file is set aside this far ahead of the writes.
constexpr std::uint64_t kReserveStep = 64 * 1024 * 1024;
// The chattr flags a plain overwrite keeps and a replacement must carry over.
constexpr unsigned kKeptFlags = (FS_FL_USER_MODIFIABLE | FS_NOCOW_FL | FS_DAX_FL |
                                 FS_PROJINHERIT_FL) & ~(FS_IMMUTABLE_FL | FS_APPEND_FL);

// Held around every write, flush, link, rename and close of an output, and
// taken for good by an exit handler, so that the process never ends in the
// middle of one of these: on a FUSE file system a removed file whose write
// was cut short by the end of the process can stay behind.
std::mutex gwriting;

// The named temporary files under way, for an exit handler on another thread.
std::mutex gtemporaries_mutex;
std::vector<std::string> gtemporaries;

void add_temporary(const std::string &path)
{
    std::lock_guard<std::mutex> lock(gtemporaries_mutex);
    gtemporaries.push_back(path);
}

void remove_temporary(const std::string &path)
{
    std::lock_guard<std::mutex> lock(gtemporaries_mutex);
    gtemporaries.erase(std::remove(gtemporaries.begin(), gtemporaries.end(), path),
                       gtemporaries.end());
}

std::string random_name()
{
    static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char raw[8];
    if (::getrandom(raw, sizeof raw, 0) != static_cast<ssize_t>(sizeof raw))
        for (unsigned char &b : raw)
            b = static_cast<unsigned char>(::rand());
    std::string name = ".tvx";
    for (unsigned char b : raw)
        name += kAlphabet[b % (sizeof kAlphabet - 1)];
    return name;
}

// The path the kernel knows an open file by; empty when /proc cannot say.
std::string path_of(int fd)
{
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    std::string path(4096, '\0');
    for (;;) {
        const ssize_t n = ::readlink(link.c_str(), path.data(), path.size());
        if (n < 0)
            return {};
        if (static_cast<std::size_t>(n) < path.size()) {
            path.resize(static_cast<std::size_t>(n));
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// File systems without owners or permissions refuse these; not an error as
// long as the result matches what was asked for.
bool without_permissions(int error)
{
    return error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP || error == EPERM;
}

bool same_file(const struct stat &st, const struct stat &other)
{
    return st.st_dev == other.st_dev && st.st_ino == other.st_ino;
}

// Every extended attribute of a file, ACLs among them, by name; false when
// they cannot all be read.
bool read_attributes(int fd, std::map<std::string, std::string> *attributes)
{
    std::string list;
    for (;;) {
        const ssize_t size = ::flistxattr(fd, nullptr, 0);
        if (size < 0)
            return errno == ENOTSUP || errno == EOPNOTSUPP; // none on this file system
        list.assign(static_cast<std::size_t>(size), '\0');
        const ssize_t got = ::flistxattr(fd, list.data(), list.size());
        if (got >= 0) {
            list.resize(static_cast<std::size_t>(got));
            break;
        }
        if (errno != ERANGE)
            return false;
    }
    for (std::size_t at = 0; at < list.size();) {
        std::size_t end = list.find('\0', at);
        if (end == std::string::npos)
            end = list.size();
        const std::string name = list.substr(at, end - at);
        at = end + 1;
        std::string value;
        for (;;) {
            const ssize_t size = ::fgetxattr(fd, name.c_str(), nullptr, 0);
            if (size < 0)
                return false;
            value.assign(static_cast<std::size_t>(size), '\0');
            const ssize_t got = ::fgetxattr(fd, name.c_str(), value.data(), value.size());
            if (got >= 0) {
                value.resize(static_cast<std::size_t>(got));
                break;
            }
            if (errno != ERANGE)
                return false;
        }
        (*attributes)[name] = std::move(value);
    }
    return true;
}

// The file's chattr flags that a replacement must keep; a file system
// without such flags has none. False when they cannot be read.
bool read_flags(int fd, unsigned *flags)
{
    int raw = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &raw) != 0) {
        *flags = 0;
        return errno == ENOTTY || errno == ENOTSUP || errno == EOPNOTSUPP || errno == EINVAL ||
               errno == ENOSYS;
    }
    *flags = static_cast<unsigned>(raw);
    return true;
}

// A file-size limit must come back from write as EFBIG, a failure of that
// output like any other, not end the process with the output half written.
void write_errors_not_signals()
{
    static std::once_flag once;
    std::call_once(once, [] { std::signal(SIGXFSZ, SIG_IGN); });
}

} // namespace

const char *CurrentTemporaryFile()
{
    // A copy of the caller's own, so that the writer thread cannot change it
    // under the caller.
    thread_local std::string copy;
    std::lock_guard<std::mutex> lock(gtemporaries_mutex);
    copy = gtemporaries.empty() ? std::string() : gtemporaries.front();
    return copy.empty() ? nullptr : copy.c_str();
}

void EndWritingForExit()
{
    gwriting.lock();
    std::lock_guard<std::mutex> lock(gtemporaries_mutex);
    for (const std::string &path : gtemporaries)
        ::unlink(path.c_str());
    gtemporaries.clear();
}

std::string directory_of(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string name_in_directory(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

mode_t CurrentUmask()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Umask:", 0) == 0)
            return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8) & 0777);
    return 077; // unknown: the narrowest
}

bool Writeback::advance(int fd, std::uint64_t written)
{
    for (;;) {
        const std::uint64_t stretch = std::clamp(in_flight_ / 2, kMinStretch, kMaxStretch);
        if (written - started_ < stretch)
            return true;
        {
            std::lock_guard<std::mutex> writing(gwriting);
            if (::sync_file_range(fd, static_cast<off_t>(started_), static_cast<off_t>(stretch),
                                  SYNC_FILE_RANGE_WRITE) != 0)
                return false;
        }
        started_ += stretch;
        // What lies further back goes to disk and leaves the cache.
        if (started_ > in_flight_ && !wait_for_disk(fd, started_ - in_flight_, true))
            return false;
    }
}

bool Writeback::wait_for_disk(int fd, std::uint64_t end, bool drop)
{
    const std::uint64_t from = settled_;
    while (settled_ < end) {
        if (go_on_ && !go_on_()) {
            errno = ECANCELED;
            return false;
        }
        const std::uint64_t piece =
            std::min(std::clamp(in_flight_ / 4, kMinStretch, kMaxWaitPiece), end - settled_);
        std::lock_guard<std::mutex> writing(gwriting);
        if (::sync_file_range(fd, static_cast<off_t>(settled_), static_cast<off_t>(piece),
                              SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                  SYNC_FILE_RANGE_WAIT_AFTER) != 0)
            return false;
        if (drop)
            ::posix_fadvise(fd, static_cast<off_t>(settled_), static_cast<off_t>(piece),
                            POSIX_FADV_DONTNEED);
        settled_ += piece;
    }
    measure(from);
    return true;
}

// The disk's speed, from what settled over the last tenth of a second or
// more: at the disk's pace when it is the bottleneck, and where it is not,
// little is under writeback anyway.
void Writeback::measure(std::uint64_t from)
{
    const auto now = std::chrono::steady_clock::now();
    if (mark_time_ == std::chrono::steady_clock::time_point{}) {
        mark_time_ = now;
        mark_settled_ = from;
    }
    const std::chrono::duration<double> span = now - mark_time_;
    if (span.count() < (measured_ ? kMeasure : kFirstMeasure))
        return;
    const double fits = double(settled_ - mark_settled_) * kInFlightTime / span.count();
    in_flight_ = std::clamp<std::uint64_t>(static_cast<std::uint64_t>(fits) / kGrain * kGrain,
                                           kMinInFlight, kMaxInFlight);
    measured_ = true;
    mark_time_ = now;
    mark_settled_ = settled_;
}

PartnerOutput::~PartnerOutput()
{
    discard();
}

void PartnerOutput::watch(std::function<bool()> go_on)
{
    go_on_ = go_on;
    writeback_.watch(std::move(go_on));
}

bool PartnerOutput::open_directory(std::string directory)
{
    // A folder the user may write but not read opens only as a path; its
    // flush then goes through its file system.
    directory_ = UniqueFd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory_ && errno == EACCES)
        directory_ = UniqueFd(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    directory_path_ = std::move(directory);
    return static_cast<bool>(directory_);
}

bool PartnerOutput::open(const std::string &out_name, const InputIdentity &input, mode_t umask,
                         bool durable)
{
    write_errors_not_signals();
    durable_ = durable;
    if (out_name.empty())
        return false;
    // The kernel judges the name as for the user's own plain open for
    // writing: permissions, protected links, read-only mounts, FIFOs.
    UniqueFd existing(::open(out_name.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!existing) {
        struct stat st;
        if (errno != ENOENT || ::lstat(out_name.c_str(), &st) == 0)
            return false; // refused, or a link that leads nowhere
        base_ = name_in_directory(out_name);
        if (base_.empty() || base_ == "." || base_ == ".." || !open_directory(directory_of(out_name)))
            return false;
        // Longer than any file system's names usually are: asked of this one.
        const long name_max = base_.size() > 255 ? ::fpathconf(directory_.get(), _PC_NAME_MAX) : 0;
        if (name_max > 0 && base_.size() > static_cast<std::size_t>(name_max))
            return false;
        way_ = Way::New;
        new_mode_ = (input.mode & 0666) & ~umask;
        return create_temporary();
    }

    struct stat st;
    if (::fstat(existing.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        (static_cast<std::uint64_t>(st.st_dev) == input.device &&
         static_cast<std::uint64_t>(st.st_ino) == input.inode))
        return false;
    target_ = std::move(existing);

    // A replacement by rename needs the real name, and keeps the file's
    // identity only for our own file with a single name that is no mount of
    // its own; it needs a folder where a new file can be made. Anywhere else
    // the file is written in place, as a plain overwrite would.
    const std::string real = path_of(target_.get());
    struct statx mount;
    bool replace = !real.empty() && real.front() == '/' && st.st_uid == ::geteuid() &&
                   st.st_nlink == 1 &&
                   ::statx(target_.get(), "", AT_EMPTY_PATH, STATX_BASIC_STATS, &mount) == 0 &&
                   !(mount.stx_attributes & STATX_ATTR_MOUNT_ROOT);
    if (replace) {
        base_ = name_in_directory(real);
        struct stat named;
        replace = open_directory(directory_of(real)) &&
                  ::fstatat(directory_.get(), base_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                  same_file(named, st);
    }
    way_ = Way::Replace;
    if (replace) {
        if (!create_temporary()) {
            // Only a folder that refuses new files leaves the plain overwrite;
            // a full disk or any other failure changes nothing.
            if (errno != EACCES && errno != EPERM)
                return false;
        } else if (keep_flags()) {
            return true;
        }
    }
    discard();
    way_ = Way::InPlace;
    directory_.reset();
    return true;
}

bool PartnerOutput::create_temporary()
{
    // Unnamed until complete, and readable by nobody else meanwhile.
    temp_ = UniqueFd(::openat(directory_.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (temp_)
        return true;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return false;
    for (int attempt = 0; attempt < 100 && !temp_; ++attempt) {
        named_ = random_name();
        temp_ = UniqueFd(::openat(directory_.get(), named_.c_str(),
                                  O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!temp_ && errno != EEXIST)
            break;
    }
    if (!temp_) {
        named_.clear();
        return false;
    }
    add_temporary(directory_path_ + "/" + named_);
    return true;
}

// Gives the new, still empty file the replaced file's chattr flags (some,
// such as no copy-on-write, take only on an empty file); false when they
// cannot be read or kept.
bool PartnerOutput::keep_flags()
{
    unsigned old_flags = 0, flags = 0;
    if (!read_flags(target_.get(), &old_flags) || !read_flags(temp_.get(), &flags))
        return false;
    if ((flags & kKeptFlags) != (old_flags & kKeptFlags)) {
        int wanted = static_cast<int>((flags & ~kKeptFlags) | (old_flags & kKeptFlags));
        if (::ioctl(temp_.get(), FS_IOC_SETFLAGS, &wanted) != 0 || !read_flags(temp_.get(), &flags))
            return false;
    }
    return (flags & kKeptFlags) == (old_flags & kKeptFlags);
}

bool PartnerOutput::write(const char *data, std::size_t size)
{
    {
        std::lock_guard<std::mutex> writing(gwriting);
        // In place, the earlier bytes go only now that new ones are ready.
        if (way_ == Way::InPlace && !emptied_) {
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
    if (way_ == Way::InPlace || reserved_ >= std::min(end, expected_))
        return;
    const std::uint64_t upto = std::min(expected_, std::max(end, reserved_) + kReserveStep);
    if (::fallocate(temp_.get(), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(reserved_),
                    static_cast<off_t>(upto - reserved_)) == 0)
        reserved_ = upto;
    else
        expected_ = 0;
}

// Gives the complete temporary file the replaced file's owner, group, mode,
// ACL and other extended attributes (through the same library calls as a
// copy that keeps them): Kept only when every one of them now matches.
// An owner or mode refused as not permitted, or attributes that cannot be
// copied: NotKept, and the file is written in place; any other error while
// the owner or mode is set (a failing disk): Failed.
PartnerOutput::Identity PartnerOutput::keep_identity()
{
    auto refused = [] { return without_permissions(errno) || errno == EACCES; };
    struct stat old;
    if (::fstat(target_.get(), &old) != 0)
        return Identity::Failed;
    if (::fchown(temp_.get(), old.st_uid, old.st_gid) != 0 && !without_permissions(errno))
        return refused() ? Identity::NotKept : Identity::Failed;
    if (perm_copy_fd(nullptr, target_.get(), nullptr, temp_.get(), nullptr) != 0 &&
        ::fchmod(temp_.get(), old.st_mode & 07777) != 0 && !without_permissions(errno))
        return refused() ? Identity::NotKept : Identity::Failed;
    // Attributes that cannot be read or copied stay with the earlier file,
    // written in place.
    if (attr_copy_fd(nullptr, target_.get(), nullptr, temp_.get(), nullptr, nullptr) != 0 &&
        errno != ENOTSUP && errno != EOPNOTSUPP)
        return Identity::NotKept;

    std::map<std::string, std::string> wanted, have;
    struct stat now;
    const bool same =
        read_attributes(target_.get(), &wanted) && read_attributes(temp_.get(), &have) &&
        wanted == have && ::fstat(temp_.get(), &now) == 0 && now.st_uid == old.st_uid &&
        now.st_gid == old.st_gid && (now.st_mode & 07777) == (old.st_mode & 07777);
    return same ? Identity::Kept : Identity::NotKept;
}

bool PartnerOutput::overwrites_earlier_file()
{
    if (way_ != Way::Replace)
        return false;
    if (identity_ == Identity::Unknown)
        identity_ = keep_identity();
    return identity_ == Identity::NotKept;
}

// Where the replacement cannot keep the earlier file's identity: the
// complete bytes are written into that file, as a plain overwrite would.
bool PartnerOutput::copy_into_place()
{
    // The buffer first: the earlier bytes go only when the new ones can follow.
    SecretBytes buffer(1024 * 1024);
    if (std::lock_guard<std::mutex> writing(gwriting); ::ftruncate(target_.get(), 0) != 0)
        return false;
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(temp_.get(), buffer.data(), buffer.size(), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        if (go_on_ && !go_on_())
            return false;
        if (std::lock_guard<std::mutex> writing(gwriting);
            !WriteAll(target_.get(), buffer.data(), static_cast<std::size_t>(n), at))
            return false;
        at += n;
    }
    std::lock_guard<std::mutex> writing(gwriting);
    return !durable_ || ::fsync(target_.get()) == 0;
}

bool PartnerOutput::prepare()
{
    if (overwrites_earlier_file()) {
        // The bytes reach the disk first, so that the copy reads them back
        // from what is durable rather than wait behind them.
        if (durable_ && !writeback_.settle(temp_.get(), written_))
            return false;
        if (!copy_into_place())
            return false;
        discard();
        way_ = Way::InPlace;
        emptied_ = true;
        return true;
    }
    if (identity_ == Identity::Failed)
        return false;
    if (way_ == Way::InPlace) {
        std::lock_guard<std::mutex> writing(gwriting);
        if (!emptied_ && ::ftruncate(target_.get(), 0) != 0)
            return false;
        emptied_ = true;
    }
    return way_ != Way::New || ::fchmod(temp_.get(), new_mode_) == 0 ||
           without_permissions(errno);
}

bool PartnerOutput::make_durable(bool flushed_with_file_system)
{
    if (!durable_)
        return true;
    // The bytes go to disk in pieces first, so that the flush below is short
    // and a cancel meanwhile is prompt. After a flush of the file system this
    // finds nothing left to write but still hears of this file's errors.
    if (!writeback_.settle(file(), written_))
        return false;
    std::lock_guard<std::mutex> writing(gwriting);
    return flushed_with_file_system || ::fsync(file()) == 0;
}

bool PartnerOutput::file_system_flush_covers() const
{
    struct statfs fs;
    if (::fstatfs(file(), &fs) != 0)
        return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x65735546: // FUSE
    case 0x6969:     // NFS
    case 0xff534d42: // CIFS
    case 0xfe534d42: // SMB2
    case 0x517b:     // SMB
    case 0x564c:     // NCP
    case 0x73757245: // Coda
    case 0x00c36400: // Ceph
        return false;
    default:
        return true;
    }
}

// Gives the unnamed temporary file a name in the output's folder; refused
// where the name exists.
bool PartnerOutput::link_under(const std::string &name)
{
    // Straight from the descriptor where the kernel allows it (it spares a
    // walk through /proc), else through the descriptor's link in /proc.
    if (::linkat(temp_.get(), "", directory_.get(), name.c_str(), AT_EMPTY_PATH) == 0)
        return true;
    if (errno != EPERM && errno != ENOENT && errno != EINVAL)
        return false;
    const std::string self = "/proc/self/fd/" + std::to_string(temp_.get());
    return ::linkat(AT_FDCWD, self.c_str(), directory_.get(), name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

bool PartnerOutput::rename_without_replacing()
{
    if (::renameat2(directory_.get(), named_.c_str(), directory_.get(), base_.c_str(),
                    RENAME_NOREPLACE) == 0)
        return true;
    struct stat st;
    return errno == EINVAL &&
           ::fstatat(directory_.get(), base_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 &&
           errno == ENOENT &&
           ::renameat(directory_.get(), named_.c_str(), directory_.get(), base_.c_str()) == 0;
}

bool PartnerOutput::take_name()
{
    if (way_ == Way::InPlace)
        return true;
    std::lock_guard<std::mutex> writing(gwriting);
    if (way_ == Way::New) {
        // Refused, and nothing replaced, should the name have appeared meanwhile.
        if (named_.empty() ? !link_under(base_) : !rename_without_replacing())
            return false;
        named_new_ = true;
    } else {
        struct stat named, old;
        if (::fstatat(directory_.get(), base_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            ::fstat(target_.get(), &old) != 0 || !same_file(named, old))
            return false;
        // A name of its own first, for the rename that replaces. Only a
        // kill -9 or a crash between the two can leave that name behind.
        while (named_.empty()) {
            named_ = random_name();
            if (link_under(named_))
                add_temporary(directory_path_ + "/" + named_);
            else if (named_.clear(); errno != EEXIST)
                return false;
        }
        if (::renameat(directory_.get(), named_.c_str(), directory_.get(), base_.c_str()) != 0)
            return false;
    }
    remove_temporary(directory_path_ + "/" + named_);
    named_.clear();
    named_folder_ = directory_path_;
    return true;
}

bool PartnerOutput::flush_folder()
{
    if (!durable_ || !directory_)
        return true;
    std::lock_guard<std::mutex> writing(gwriting);
    if (::fsync(directory_.get()) == 0)
        return true;
    // A folder open only as a path (or one that cannot be flushed on its
    // own) is made durable with the rest of its file system.
    return (errno == EBADF || errno == EINVAL) && ::syncfs(file()) == 0;
}

bool PartnerOutput::close_named(bool keep)
{
    std::lock_guard<std::mutex> writing(gwriting);
    // A new name that may not survive is taken back, if it is still ours; a
    // replacement keeps the new, complete file under the name, as the
    // earlier one is gone.
    struct stat ours, named;
    const bool known = temp_ && ::fstat(temp_.get(), &ours) == 0;
    const bool ok = keep && temp_.close() && target_.close();
    if (!ok && named_new_ && known &&
        ::fstatat(directory_.get(), base_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(named, ours))
        ::unlinkat(directory_.get(), base_.c_str(), 0);
    temp_.reset();
    target_.reset();
    return ok;
}

void PartnerOutput::discard()
{
    std::lock_guard<std::mutex> writing(gwriting);
    temp_.reset();
    if (!named_.empty()) {
        ::unlinkat(directory_.get(), named_.c_str(), 0);
        remove_temporary(directory_path_ + "/" + named_);
    }
    named_.clear();
}
