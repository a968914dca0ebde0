#include "output.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sys/random.h>
#include <sys/stat.h>
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
constexpr std::uint64_t kGrain = PartnerOutput::kMinInFlight / 2;
constexpr std::uint64_t kMinInFlight = PartnerOutput::kMinInFlight;
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

// The named temporary file under way; read by an exit handler on the calling
// thread while the writer thread may change it.
std::mutex gtemporary_mutex;
std::string gtemporary;

// Held while the output is written, flushed or closed, and taken for good by
// an exit handler, so that the process never ends in the middle of one of
// these: on a FUSE file system a removed file whose write was cut short by
// the end of the process can stay behind.
std::recursive_mutex gwriting;

void set_temporary(std::string path)
{
    std::lock_guard<std::mutex> lock(gtemporary_mutex);
    gtemporary = std::move(path);
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

std::vector<std::string> attribute_names(int fd)
{
    std::vector<std::string> names;
    std::string list;
    for (;;) {
        const ssize_t size = ::flistxattr(fd, nullptr, 0);
        if (size <= 0)
            return names;
        list.assign(static_cast<std::size_t>(size), '\0');
        const ssize_t got = ::flistxattr(fd, list.data(), list.size());
        if (got >= 0) {
            list.resize(static_cast<std::size_t>(got));
            break;
        }
        if (errno != ERANGE)
            return names;
    }
    for (std::size_t at = 0; at < list.size();) {
        const std::size_t end = list.find('\0', at);
        names.push_back(list.substr(at, end - at));
        at = end == std::string::npos ? list.size() : end + 1;
    }
    return names;
}

bool same_file(const struct stat &st, std::uint64_t device, std::uint64_t inode)
{
    return static_cast<std::uint64_t>(st.st_dev) == device &&
           static_cast<std::uint64_t>(st.st_ino) == inode;
}

} // namespace

const char *CurrentTemporaryFile()
{
    // A copy of the caller's own, so that the writer thread cannot change it
    // under the caller.
    thread_local std::string copy;
    std::lock_guard<std::mutex> lock(gtemporary_mutex);
    copy = gtemporary;
    return copy.empty() ? nullptr : copy.c_str();
}

const char *EndWritingForExit()
{
    gwriting.lock();
    return CurrentTemporaryFile();
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

PartnerOutput::~PartnerOutput()
{
    discard();
}

bool PartnerOutput::open_directory(std::string directory)
{
    directory_ = UniqueFd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory_ && errno == EACCES)
        directory_ = UniqueFd(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    directory_path_ = std::move(directory);
    return static_cast<bool>(directory_);
}

bool PartnerOutput::open(const std::string &out_name, const InputIdentity &input, mode_t umask,
                         bool durable)
{
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
        const long name_max = ::fpathconf(directory_.get(), _PC_NAME_MAX);
        if (name_max > 0 && base_.size() > static_cast<std::size_t>(name_max))
            return false;
        mode_ = Mode::New;
        new_mode_ = (input.mode & 0666) & ~umask;
        return create_temporary();
    }

    struct stat st;
    if (::fstat(existing.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        same_file(st, input.device, input.inode))
        return false;
    target_device_ = static_cast<std::uint64_t>(st.st_dev);
    target_inode_ = static_cast<std::uint64_t>(st.st_ino);
    target_ = std::move(existing);

    // A replacement by rename needs the real name, and keeps the file's
    // identity only for our own file with a single name.
    const std::string real = path_of(target_.get());
    bool replace = !real.empty() && real.front() == '/' && st.st_uid == ::geteuid() &&
                   st.st_nlink == 1;
    if (replace) {
        base_ = name_in_directory(real);
        struct stat named;
        replace = open_directory(directory_of(real)) &&
                  ::fstatat(directory_.get(), base_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                  same_file(named, target_device_, target_inode_);
    }
    if (!replace) {
        // As a plain overwrite: emptied now, written through this descriptor.
        mode_ = Mode::InPlace;
        directory_.reset();
        return ::ftruncate(target_.get(), 0) == 0;
    }
    mode_ = Mode::Replace;
    return create_temporary();
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
    set_temporary(directory_path_ + "/" + named_);
    return true;
}

bool PartnerOutput::write(const char *data, std::size_t size)
{
    const int fd = mode_ == Mode::InPlace ? target_.get() : temp_.get();
    std::unique_lock<std::recursive_mutex> writing(gwriting);
    reserve(written_ + size);
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        written_ += static_cast<std::uint64_t>(n);
    }
    writing.unlock();
    return !durable_ || start_writeback();
}

// Sets room aside up to end and a little beyond, in steps short enough to
// keep a cancel prompt where that means clearing memory (tmpfs). Only in a
// file of our own: room set aside in a file written in place would stay
// with it should the run fail. Where the file system refuses, writes go on
// without.
void PartnerOutput::reserve(std::uint64_t end)
{
    if (mode_ == Mode::InPlace || reserved_ >= std::min(end, expected_))
        return;
    const std::uint64_t upto = std::min(expected_, std::max(end, reserved_) + kReserveStep);
    if (::fallocate(temp_.get(), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(reserved_),
                    static_cast<off_t>(upto - reserved_)) == 0)
        reserved_ = upto;
    else
        expected_ = 0;
}

bool PartnerOutput::start_writeback()
{
    const int fd = mode_ == Mode::InPlace ? target_.get() : temp_.get();
    for (;;) {
        const std::uint64_t stretch = std::clamp(in_flight_ / 2, kMinStretch, kMaxStretch);
        if (written_ - started_ < stretch)
            break;
        {
            std::lock_guard<std::recursive_mutex> writing(gwriting);
            ::sync_file_range(fd, static_cast<off_t>(started_), static_cast<off_t>(stretch),
                              SYNC_FILE_RANGE_WRITE);
        }
        started_ += stretch;
        // What lies further back goes to disk and leaves the cache.
        if (started_ > in_flight_ && !wait_for_disk(started_ - in_flight_, true))
            return false;
    }
    return true;
}

bool PartnerOutput::wait_for_disk(std::uint64_t end, bool drop)
{
    const int fd = mode_ == Mode::InPlace ? target_.get() : temp_.get();
    const std::uint64_t from = settled_;
    while (settled_ < end) {
        if (go_on_ && !go_on_())
            return false;
        const std::uint64_t piece =
            std::min(std::clamp(in_flight_ / 4, kMinStretch, kMaxWaitPiece), end - settled_);
        std::lock_guard<std::recursive_mutex> writing(gwriting);
        ::sync_file_range(fd, static_cast<off_t>(settled_), static_cast<off_t>(piece),
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                              SYNC_FILE_RANGE_WAIT_AFTER);
        if (drop)
            ::posix_fadvise(fd, static_cast<off_t>(settled_), static_cast<off_t>(piece),
                            POSIX_FADV_DONTNEED);
        settled_ += piece;
    }
    // The disk's speed, from what settled over the last tenth of a second or
    // more: at the disk's pace when it is the bottleneck, and where it is not,
    // little is under writeback anyway.
    const auto now = std::chrono::steady_clock::now();
    if (!measuring_) {
        measuring_ = true;
        mark_time_ = now;
        mark_settled_ = from;
    }
    const std::chrono::duration<double> span = now - mark_time_;
    if (span.count() >= (measured_ ? kMeasure : kFirstMeasure)) {
        const double fits = double(settled_ - mark_settled_) * kInFlightTime / span.count();
        in_flight_ = std::clamp<std::uint64_t>(static_cast<std::uint64_t>(fits) / kGrain * kGrain,
                                               kMinInFlight, kMaxInFlight);
        measured_ = true;
        mark_time_ = now;
        mark_settled_ = settled_;
    }
    return true;
}

// Gives the complete temporary file the replaced file's owner, group,
// extended attributes (ACLs among them) and mode; true when all of them hold.
bool PartnerOutput::keep_identity()
{
    struct stat old;
    if (::fstat(target_.get(), &old) != 0)
        return false;
    if (::fchown(temp_.get(), old.st_uid, old.st_gid) != 0 && !without_permissions(errno))
        return false;

    const std::vector<std::string> wanted = attribute_names(target_.get());
    for (const std::string &name : attribute_names(temp_.get()))
        if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() &&
            ::fremovexattr(temp_.get(), name.c_str()) != 0)
            return false;
    std::string value;
    for (const std::string &name : wanted) {
        const ssize_t size = ::fgetxattr(target_.get(), name.c_str(), nullptr, 0);
        if (size < 0)
            return false;
        value.assign(static_cast<std::size_t>(size), '\0');
        const ssize_t got = ::fgetxattr(target_.get(), name.c_str(), value.data(), value.size());
        if (got < 0 || ::fsetxattr(temp_.get(), name.c_str(), value.data(),
                                   static_cast<std::size_t>(got), 0) != 0)
            return false;
    }

    if (::fchmod(temp_.get(), old.st_mode & 07777) != 0 && !without_permissions(errno))
        return false;
    struct stat now;
    return ::fstat(temp_.get(), &now) == 0 && now.st_uid == old.st_uid &&
           now.st_gid == old.st_gid && (now.st_mode & 07777) == (old.st_mode & 07777);
}

// Where the replacement cannot keep the earlier file's identity: the
// complete bytes are written into that file, as a plain overwrite would.
bool PartnerOutput::copy_into_place()
{
    if (::ftruncate(target_.get(), 0) != 0)
        return false;
    SecretBytes buffer(1024 * 1024);
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
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::pwrite(target_.get(), buffer.data() + done,
                                       static_cast<std::size_t>(n - done), at + done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0)
                return false;
            done += w;
        }
        at += n;
    }
    return !durable_ || ::fsync(target_.get()) == 0;
}

// Gives the unnamed temporary file a name in the output's folder; refused
// where the name exists.
bool PartnerOutput::link_under(const std::string &name)
{
    const std::string self = "/proc/self/fd/" + std::to_string(temp_.get());
    if (::linkat(AT_FDCWD, self.c_str(), directory_.get(), name.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return true;
    return errno == ENOENT &&
           ::linkat(temp_.get(), "", directory_.get(), name.c_str(), AT_EMPTY_PATH) == 0;
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

bool PartnerOutput::commit()
{
    // The bytes go to disk in pieces first, so that the flush below is short
    // and a cancel meanwhile is prompt.
    if (durable_ && !wait_for_disk(written_, false))
        return false;
    std::lock_guard<std::recursive_mutex> writing(gwriting);
    if (mode_ == Mode::InPlace) {
        if (durable_ && ::fsync(target_.get()) != 0)
            return false;
        committed_ = true;
        return true;
    }
    if (mode_ == Mode::Replace && !keep_identity()) {
        if (!copy_into_place())
            return false;
        committed_ = true;
        discard();
        return true;
    }
    if (mode_ == Mode::New && ::fchmod(temp_.get(), new_mode_) != 0 && !without_permissions(errno))
        return false;
    if (durable_ && ::fsync(temp_.get()) != 0)
        return false;

    if (mode_ == Mode::New) {
        // Refused, and nothing replaced, should the name have appeared meanwhile.
        if (named_.empty() ? !link_under(base_) : !rename_without_replacing())
            return false;
    } else {
        struct stat named;
        if (::fstatat(directory_.get(), base_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            !same_file(named, target_device_, target_inode_))
            return false;
        while (named_.empty()) {
            named_ = random_name();
            if (!link_under(named_)) {
                named_.clear();
                if (errno != EEXIST)
                    return false;
            }
        }
        set_temporary(directory_path_ + "/" + named_);
        if (::renameat(directory_.get(), named_.c_str(), directory_.get(), base_.c_str()) != 0)
            return false;
    }
    named_.clear();
    set_temporary({});
    committed_ = true;
    temp_.reset();
    // The new name itself must survive a power cut too.
    return !durable_ || ::fsync(directory_.get()) == 0 || errno == EINVAL || errno == EBADF;
}

void PartnerOutput::discard()
{
    std::lock_guard<std::recursive_mutex> writing(gwriting);
    temp_.reset();
    if (!named_.empty())
        ::unlinkat(directory_.get(), named_.c_str(), 0);
    named_.clear();
    set_temporary({});
}
