// SPDX-License-Identifier: GPL-3.0-or-later
// Files for the tests: a scratch directory, whole-file reads and writes, the
// expected XOR, and a tiny tmpfs that is a real full or read-only disk.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <iterator>
#include <pwd.h>
#include <random>
#include <stdexcept>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace testfiles {

// A key that passes every key rule.
inline const std::string kKey = "abcdefghijkA1!";

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

inline bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// size bytes of a fixed pseudo-random sequence, one per variant.
inline std::string random_bytes(std::size_t size, unsigned variant)
{
    std::mt19937 gen(variant);
    std::string bytes(size, '\0');
    for (char &c : bytes)
        c = static_cast<char>(gen());
    return bytes;
}

// bytes XOR the key repeated from its first byte.
inline std::string xor_with(std::string bytes, const std::string &key)
{
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(bytes[i] ^ key[i % key.size()]);
    return bytes;
}

// The names in a directory, sorted, without "." and "..".
inline std::vector<std::string> entries(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The files in dir this process holds open, as the kernel names them (an
// unnamed temporary file as "dir/#inode (deleted)").
inline std::vector<std::string> open_files_in(const std::string &dir)
{
    std::vector<std::string> files;
    for (const std::string &fd : entries("/proc/self/fd")) {
        const std::string link = "/proc/self/fd/" + fd;
        std::string target(4096, '\0');
        const ssize_t n = readlink(link.c_str(), target.data(), target.size());
        if (n > 0 && target.compare(0, dir.size() + 1, dir + "/") == 0)
            files.push_back(target.substr(0, std::size_t(n)));
    }
    return files;
}

// A fresh directory under /tmp, removed with everything in it.
class ScratchDir {
public:
    ScratchDir()
    {
        char tmpl[] = "/tmp/tenvarix-test-XXXXXX";
        if (!mkdtemp(tmpl))
            throw std::runtime_error("mkdtemp");
        dir_ = tmpl;
    }
    ~ScratchDir()
    {
        std::system(("chmod -R u+w '" + dir_ + "' 2>/dev/null; rm -rf '" + dir_ + "'").c_str());
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &dir() const { return dir_; }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

// A test with a scratch folder of its own.
class ScratchTest : public ::testing::Test {
protected:
    std::string path(const std::string &name) const { return scratch_.path(name); }
    ScratchDir scratch_;
};

// A tmpfs (64 KiB unless told) mounted at a new directory (root only), unmounted when dropped.
class SmallTmpfs {
public:
    explicit SmallTmpfs(std::string at, const std::string &size = "64k") : at_(std::move(at))
    {
        mkdir(at_.c_str(), 0755);
        mounted_ = geteuid() == 0 &&
                   mount("tmpfs", at_.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
    }
    ~SmallTmpfs()
    {
        if (mounted_)
            umount2(at_.c_str(), MNT_DETACH);
    }
    SmallTmpfs(const SmallTmpfs &) = delete;
    SmallTmpfs &operator=(const SmallTmpfs &) = delete;

    bool mounted() const { return mounted_; }
    bool remount_read_only()
    {
        return mount("tmpfs", at_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=64k") == 0;
    }
    std::string path(const std::string &name) const { return at_ + "/" + name; }

private:
    std::string at_;
    bool mounted_ = false;
};

// An ext4 file system on a loop device, mounted at a new directory, whose
// reads by this process go at a set rate through a cgroup v1 blkio group
// (root only); all undone when dropped.
class ThrottledDisk {
public:
    ThrottledDisk(std::string at, unsigned long bytes_per_second) : at_(std::move(at))
    {
        if (geteuid() != 0 || access("/sys/fs/cgroup/blkio/cgroup.procs", W_OK) != 0)
            return;
        image_ = at_ + ".img";
        mkdir(at_.c_str(), 0755);
        if (FILE *p = popen(("truncate -s 64M '" + image_ + "' && losetup --find --show '" +
                             image_ + "' 2>/dev/null")
                                .c_str(),
                            "r")) {
            char line[256] = "";
            if (fgets(line, sizeof line, p))
                loop_ = std::string(line, strcspn(line, "\n"));
            pclose(p);
        }
        struct stat st;
        if (loop_.empty() || stat(loop_.c_str(), &st) != 0 ||
            std::system(
                ("mkfs.ext4 -q " + loop_ + " && mount " + loop_ + " '" + at_ + "'").c_str()) != 0)
            return;
        mounted_ = true;
        group_ = "/sys/fs/cgroup/blkio/tenvarix-test-" + std::to_string(getpid());
        mkdir(group_.c_str(), 0755);
        std::ofstream(group_ + "/blkio.throttle.read_bps_device")
            << major(st.st_rdev) << ":" << minor(st.st_rdev) << " " << bytes_per_second << "\n";
        std::ofstream(group_ + "/cgroup.procs") << getpid() << "\n";
        throttled_ = true;
    }
    ~ThrottledDisk()
    {
        if (!group_.empty()) {
            std::ofstream("/sys/fs/cgroup/blkio/cgroup.procs") << getpid() << "\n";
            rmdir(group_.c_str());
        }
        if (mounted_)
            umount2(at_.c_str(), MNT_DETACH);
        if (!loop_.empty())
            std::system(("losetup -d " + loop_).c_str());
        if (!image_.empty())
            unlink(image_.c_str());
    }
    ThrottledDisk(const ThrottledDisk &) = delete;
    ThrottledDisk &operator=(const ThrottledDisk &) = delete;

    bool throttled() const { return throttled_; }
    std::string path(const std::string &name) const { return at_ + "/" + name; }
    // A file on the disk that is not in the page cache, so that its reads are slow.
    void write_cold(const std::string &name, const std::string &bytes) const
    {
        write_file(path(name), bytes);
        const int fd = open(path(name).c_str(), O_RDONLY);
        fsync(fd);
        posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        close(fd);
    }

private:
    std::string at_, image_, loop_, group_;
    bool mounted_ = false, throttled_ = false;
};

// The unprivileged user of the permission cases, created when missing; its
// uid and gid, or nothing when it cannot be had (not root).
inline bool test_user(uid_t *uid, gid_t *gid)
{
    if (geteuid() != 0 || std::system("id tvxtest >/dev/null 2>&1 || useradd -M tvxtest") != 0)
        return false;
    const passwd *pw = getpwnam("tvxtest");
    if (!pw)
        return false;
    *uid = pw->pw_uid;
    *gid = pw->pw_gid;
    return true;
}

// Runs fn in a child process as tvxtest; its result, or -1.
inline int as_test_user(const std::function<int()> &fn)
{
    uid_t uid;
    gid_t gid;
    if (!test_user(&uid, &gid))
        return -1;
    const pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
            _exit(255);
        _exit(fn());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

} // namespace testfiles
