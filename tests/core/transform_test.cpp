// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <linux/fs.h>
#include <mutex>
#include <random>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "crypt/exitcleanup.h"
#include "crypt/run.h"
#include "files.h"
#include "runone.h"

namespace {

using namespace testfiles;

class Transform : public ScratchTest {
protected:
    // Transforms in into its partner name in a run of its own, recording
    // every progress step and a failure's errno.
    CryptOutcome crypt(const std::string &in, const std::string &key = kKey,
                       const TransformOptions &options = {})
    {
        const RunResult r = RunToEnd({in}, key, options);
        steps_.clear();
        for (const RunReport &report : r.reports)
            steps_.push_back(report.step);
        error_ = r.error;
        return r.outcome;
    }

    std::vector<ProgressStep> steps_;
    int error_ = 0;
};

unsigned file_flags(const std::string &path)
{
    UniqueFd fd(open(path.c_str(), O_RDONLY));
    int flags = 0;
    return fd && ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) == 0 ? unsigned(flags) : 0u;
}

} // namespace

TEST_F(Transform, round_trip_through_both_names_restores_the_bytes)
{
    const std::string original = random_bytes(3 * 256 * 1024 + 4567, 1);
    write_file(path("report.txt"), original);
    ASSERT_EQ(crypt(path("report.txt")), CryptOutcome::Done);
    EXPECT_EQ(read_file(path("report.txt")), original) << "input untouched";
    EXPECT_EQ(read_file(path("report.txttenvarixcrypto")), xor_with(original, kKey));
    struct stat st;
    ASSERT_EQ(::stat(path("report.txttenvarixcrypto").c_str(), &st), 0);
    EXPECT_LE(std::uint64_t(st.st_blocks) * 512, (original.size() + 4095) / 4096 * 4096)
        << "no room set aside beyond the end";

    std::remove(path("report.txt").c_str());
    ASSERT_EQ(crypt(path("report.txttenvarixcrypto")), CryptOutcome::Done);
    EXPECT_EQ(read_file(path("report.txt")), original);
    EXPECT_EQ(entries(scratch_.dir()),
              (std::vector<std::string>{"report.txt", "report.txttenvarixcrypto"}));
}

TEST_F(Transform, the_key_position_carries_across_blocks_and_restarts_per_file)
{
    const std::string key = "Zy9!Zy8?Xw7#Vu6"; // 15 bytes: blocks are no multiple of it
    const std::string bytes = random_bytes(1024 * 1024 + 17, 2);
    write_file(path("a"), bytes);
    write_file(path("b"), bytes);
    ASSERT_EQ(crypt(path("a"), key), CryptOutcome::Done);
    ASSERT_EQ(crypt(path("b"), key), CryptOutcome::Done);
    EXPECT_EQ(read_file(path("atenvarixcrypto")), xor_with(bytes, key));
    EXPECT_EQ(read_file(path("atenvarixcrypto")), read_file(path("btenvarixcrypto")));
}

TEST_F(Transform, fifteen_bytes_with_a_fourteen_byte_key_reuse_key_byte_zero)
{
    write_file(path("f"), std::string(15, '\0'));
    ASSERT_EQ(crypt(path("f")), CryptOutcome::Done);
    EXPECT_EQ(read_file(path("ftenvarixcrypto")), kKey + kKey[0]);
}

TEST_F(Transform, inputs_that_are_no_regular_files_do_not_open)
{
    mkdir(path("dir").c_str(), 0755);
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0644), 0);
    symlink("dir", path("link-to-dir").c_str());
    const std::pair<std::string, int> refused[] = {
        {path("dir"), EISDIR},         {path("fifo"), ENOTSUP}, {path("missing"), ENOENT},
        {path("link-to-dir"), EISDIR}, {std::string(), ENOENT}, {"/dev/null", ENOTSUP}};
    for (const auto &[p, error] : refused) {
        errno = 0;
        EXPECT_FALSE(OpenInputFile(p).has_value()) << p;
        EXPECT_EQ(errno, error) << p;
    }

    write_file(path("real"), "abc");
    symlink("real", path("link-to-real").c_str());
    const auto linked = OpenInputFile(path("link-to-real"));
    ASSERT_TRUE(linked.has_value());
    EXPECT_EQ(linked->size, 3u);
}

TEST_F(Transform, a_read_error_keeps_the_earlier_output_and_leaves_no_temporary_file)
{
    write_file(path("memtenvarixcrypto"), "earlier");
    ASSERT_EQ(symlink("/proc/self/mem", path("mem").c_str()), 0);
    EXPECT_EQ(crypt(path("mem")), CryptOutcome::InFileNotReadable);
    EXPECT_EQ(error_, EIO);
    EXPECT_EQ(read_file(path("memtenvarixcrypto")), "earlier");
    EXPECT_EQ(entries(scratch_.dir()), (std::vector<std::string>{"mem", "memtenvarixcrypto"}));
}

TEST_F(Transform, outputs_that_cannot_be_created_are_refused_before_writing)
{
    write_file(path("x"), "bytes");
    mkdir(path("xtenvarixcrypto").c_str(), 0755);
    EXPECT_EQ(crypt(path("x")), CryptOutcome::OutFileNotWritten) << "a directory";
    EXPECT_EQ(error_, EISDIR);

    mkdir(path("sub").c_str(), 0755);
    write_file(path("sub/tenvarixcrypto"), "bytes");
    EXPECT_EQ(crypt(path("sub/tenvarixcrypto")), CryptOutcome::OutFileNotWritten)
        << "the bare marker cuts to its directory";
    EXPECT_EQ(error_, EISDIR);

    const std::string long_name = std::string(250, 'n');
    write_file(path(long_name), "bytes");
    EXPECT_EQ(crypt(path(long_name)), CryptOutcome::OutFileNotWritten) << "name too long";
    EXPECT_EQ(error_, ENAMETOOLONG);

    write_file(path("y"), "bytes");
    symlink("no-such-dir/target", path("ytenvarixcrypto").c_str());
    EXPECT_EQ(crypt(path("y")), CryptOutcome::OutFileNotWritten) << "link into nowhere";
    EXPECT_EQ(error_, ENOENT);

    EXPECT_TRUE(steps_.empty());
}

TEST_F(Transform, a_symlinked_output_replaces_the_file_it_leads_to)
{
    mkdir(path("sub").c_str(), 0755);
    write_file(path("sub/target"), "old");
    symlink("target", path("sub/hop").c_str());
    symlink("sub/hop", path("intenvarixcrypto").c_str());
    write_file(path("in"), "new bytes");
    ASSERT_EQ(crypt(path("in")), CryptOutcome::Done);
    char buf[64] = {};
    ASSERT_GT(readlink(path("intenvarixcrypto").c_str(), buf, sizeof buf - 1), 0);
    EXPECT_STREQ(buf, "sub/hop");
    EXPECT_EQ(read_file(path("sub/target")), xor_with("new bytes", kKey));
    EXPECT_EQ(entries(path("sub")), (std::vector<std::string>{"hop", "target"}));
}

TEST_F(Transform, new_outputs_follow_the_umask_and_replaced_ones_keep_their_mode)
{
    write_file(path("m"), "bytes");
    const mode_t old = umask(027);
    ASSERT_EQ(crypt(path("m")), CryptOutcome::Done);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(path("mtenvarixcrypto").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    // Kept whether narrower or wider than the umask allows.
    for (const mode_t mode : {0600u, 0666u}) {
        chmod(path("mtenvarixcrypto").c_str(), mode);
        const mode_t before = umask(027);
        ASSERT_EQ(crypt(path("m")), CryptOutcome::Done);
        umask(before);
        ASSERT_EQ(stat(path("mtenvarixcrypto").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, mode);
    }
}

// A 64 KiB tmpfs in the test's directory: a real full disk, then read-only.
TEST_F(Transform, a_full_or_read_only_disk_leaves_the_earlier_output_byte_for_byte)
{
    testfiles::SmallTmpfs tmpfs(path("small"));
    if (!tmpfs.mounted())
        GTEST_SKIP() << "mounting a tmpfs needs root";
    const std::string small = path("small");

    const std::string earlier = random_bytes(20000, 5);
    write_file(small + "/bigtenvarixcrypto", earlier);
    // Several blocks, so that room for it is asked for (and refused) first.
    // The inputs are links to files outside, so that only outputs take room.
    const std::string big = random_bytes(800000, 6);
    write_file(path("big"), big);
    ASSERT_EQ(symlink(path("big").c_str(), (small + "/big").c_str()), 0);
    EXPECT_EQ(crypt(small + "/big"), CryptOutcome::OutFileNotWritten);
    EXPECT_EQ(error_, ENOSPC);
    EXPECT_EQ(read_file(small + "/bigtenvarixcrypto"), earlier);
    EXPECT_EQ(entries(small), (std::vector<std::string>{"big", "bigtenvarixcrypto"}));

    // A file-size limit smaller than the output is a failed write, not the
    // end of the process.
    struct rlimit was, limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &was), 0);
    limit = was;
    limit.rlim_cur = 300000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const CryptOutcome limited = crypt(path("big"));
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &was), 0);
    EXPECT_EQ(limited, CryptOutcome::OutFileNotWritten);
    EXPECT_EQ(error_, EFBIG);
    EXPECT_FALSE(exists(path("bigtenvarixcrypto")));

    write_file(path("tiny"), "tiny");
    ASSERT_EQ(symlink(path("tiny").c_str(), (small + "/tiny").c_str()), 0);
    ASSERT_TRUE(tmpfs.remount_read_only());
    EXPECT_EQ(crypt(small + "/tiny"), CryptOutcome::OutFileNotWritten);
    EXPECT_EQ(error_, EROFS);
    EXPECT_TRUE(steps_.empty());
    EXPECT_EQ(entries(small), (std::vector<std::string>{"big", "bigtenvarixcrypto", "tiny"}));
}

TEST_F(Transform, an_output_name_that_leads_to_the_input_is_refused_and_nothing_changes)
{
    // The output a link to the input; the input a link to its own output,
    // in both directions of the naming rule; the output a hard link.
    write_file(path("notes.txt"), "only copy\n");
    symlink("notes.txt", path("notes.txttenvarixcrypto").c_str());
    write_file(path("btenvarixcrypto"), "only copy\n");
    symlink("btenvarixcrypto", path("b").c_str());
    write_file(path("c"), "only copy\n");
    symlink("c", path("ctenvarixcrypto").c_str());
    write_file(path("d"), "only copy\n");
    link(path("d").c_str(), path("dtenvarixcrypto").c_str());
    for (const std::string input : {"notes.txt", "b", "ctenvarixcrypto", "d"}) {
        EXPECT_EQ(crypt(path(input)), CryptOutcome::OutFileNotWritten) << input;
        EXPECT_EQ(error_, EINVAL) << input;
        EXPECT_TRUE(steps_.empty()) << input;
    }
    for (const std::string file : {"notes.txt", "btenvarixcrypto", "c", "d"})
        EXPECT_EQ(read_file(path(file)), "only copy\n") << file;
    EXPECT_EQ(entries(scratch_.dir()).size(), 8u);
}

TEST_F(Transform, replacements_keep_what_a_plain_overwrite_keeps)
{
    uid_t other_uid;
    gid_t other_gid;
    if (!test_user(&other_uid, &other_gid) || std::system("command -v setfacl >/dev/null") != 0)
        GTEST_SKIP() << "needs root and setfacl";
    const std::string bytes = random_bytes(300000, 7);
    write_file(path("in"), bytes);
    chmod(path("in").c_str(), 0600);

    // Our own file: replaced, with its mode, ACL and extended attributes.
    const std::string out = path("intenvarixcrypto");
    write_file(out, "earlier");
    chmod(out.c_str(), 0600);
    ASSERT_EQ(std::system(("setfacl -m u:tvxtest:r '" + out + "'").c_str()), 0);
    ASSERT_EQ(setxattr(out.c_str(), "user.origin", "kept", 4, 0), 0);
    const unsigned kFlags = FS_NODUMP_FL | FS_NOATIME_FL;
    int flags = static_cast<int>(file_flags(out) | kFlags);
    {
        UniqueFd fd(open(out.c_str(), O_RDONLY));
        ASSERT_EQ(ioctl(fd.get(), FS_IOC_SETFLAGS, &flags), 0);
    }
    struct stat before, after;
    stat(out.c_str(), &before);
    ASSERT_EQ(crypt(path("in")), CryptOutcome::Done);
    stat(out.c_str(), &after);
    EXPECT_EQ(read_file(out), xor_with(bytes, kKey));
    EXPECT_EQ(after.st_mode, before.st_mode);
    char acl[256] = {}, origin[16] = {};
    EXPECT_GT(getxattr(out.c_str(), "system.posix_acl_access", acl, sizeof acl), 0);
    EXPECT_EQ(getxattr(out.c_str(), "user.origin", origin, sizeof origin), 4);
    EXPECT_STREQ(origin, "kept");
    EXPECT_EQ(file_flags(out) & kFlags, kFlags) << "chattr +d +A kept";
    EXPECT_NE(after.st_ino, before.st_ino) << "replaced, not written in place";

    // A name that is a mount of its own cannot be renamed over: in place.
    write_file(path("mounted"), "bind source");
    ASSERT_EQ(mount(path("mounted").c_str(), out.c_str(), nullptr, MS_BIND, nullptr), 0);
    write_file(path("in"), "through the mount");
    const CryptOutcome through_mount = crypt(path("in"));
    umount(out.c_str());
    EXPECT_EQ(through_mount, CryptOutcome::Done);
    EXPECT_EQ(read_file(path("mounted")), xor_with("through the mount", kKey));
    std::remove(path("mounted").c_str());

    // Another user's file, and one with a second name: written in place.
    chown(out.c_str(), other_uid, other_gid);
    link(out.c_str(), path("second name").c_str());
    write_file(path("in"), "shorter");
    ASSERT_EQ(crypt(path("in")), CryptOutcome::Done);
    struct stat in_place;
    stat(out.c_str(), &in_place);
    EXPECT_EQ(in_place.st_ino, after.st_ino);
    EXPECT_EQ(in_place.st_uid, other_uid);
    EXPECT_EQ(read_file(path("second name")), xor_with("shorter", kKey));

    // A new output of a 0600 file is 0600 whatever the umask allows.
    std::remove(out.c_str());
    ASSERT_EQ(crypt(path("in")), CryptOutcome::Done);
    stat(out.c_str(), &after);
    EXPECT_EQ(after.st_mode & 07777, 0600u);
    EXPECT_EQ(entries(scratch_.dir()),
              (std::vector<std::string>{"in", "intenvarixcrypto", "second name"}));

    // In a folder with a default ACL too, which the new output takes, its
    // permission bits still the input's less umask.
    mkdir(path("shared").c_str(), 0755);
    ASSERT_EQ(
        std::system(
            ("setfacl -d -m u::rwx,g::rwx,o::-,u:tvxtest:rwx '" + path("shared") + "'").c_str()),
        0);
    write_file(path("shared/in"), "shared");
    chmod(path("shared/in").c_str(), 0644);
    const mode_t mask = umask(0);
    umask(mask);
    ASSERT_EQ(crypt(path("shared/in")), CryptOutcome::Done);
    stat(path("shared/intenvarixcrypto").c_str(), &after);
    EXPECT_EQ(after.st_mode & 07777, 0644u & ~mask);
    EXPECT_GT(getxattr(path("shared/intenvarixcrypto").c_str(), "system.posix_acl_access", acl,
                       sizeof acl),
              0);
}

TEST_F(Transform, the_kernel_judges_the_output_as_for_a_plain_open_for_writing)
{
    uid_t other_uid;
    gid_t other_gid;
    if (!test_user(&other_uid, &other_gid))
        GTEST_SKIP() << "needs root";
    chmod(scratch_.dir().c_str(), 0755);
    mkdir(path("shared").c_str(), 0775);
    chown(path("shared").c_str(), 0, other_gid);
    const std::string shared = path("shared/");
    write_file(shared + "x", "input");
    chmod((shared + "x").c_str(), 0644);
    write_file(shared + "readonly", "input");
    chown((shared + "readonly").c_str(), other_uid, other_gid);
    write_file(shared + "readonlytenvarixcrypto", "write protected");
    chown((shared + "readonlytenvarixcrypto").c_str(), other_uid, other_gid);
    chmod((shared + "readonlytenvarixcrypto").c_str(), 0444);
    write_file(shared + "xtenvarixcrypto", "root's, not writable");
    chmod((shared + "xtenvarixcrypto").c_str(), 0644);
    write_file(shared + "y", "input");
    write_file(shared + "ytenvarixcrypto", "root's, group-writable");
    chown((shared + "ytenvarixcrypto").c_str(), 0, other_gid);
    chmod((shared + "ytenvarixcrypto").c_str(), 0664);

    auto crypt_as_user = [&](const std::string &in) {
        return as_test_user([&] { return int(RunToEnd({in}, kKey).outcome); });
    };
    EXPECT_EQ(crypt_as_user(shared + "readonly"), int(CryptOutcome::OutFileNotWritten));
    EXPECT_EQ(read_file(shared + "readonlytenvarixcrypto"), "write protected");
    EXPECT_EQ(crypt_as_user(shared + "x"), int(CryptOutcome::OutFileNotWritten));
    EXPECT_EQ(read_file(shared + "xtenvarixcrypto"), "root's, not writable");
    EXPECT_EQ(crypt_as_user(shared + "y"), int(CryptOutcome::Done));
    EXPECT_EQ(read_file(shared + "ytenvarixcrypto"), xor_with("input", kKey));
    struct stat st;
    stat((shared + "ytenvarixcrypto").c_str(), &st);
    EXPECT_EQ(st.st_uid, 0u) << "the owner stays";

    // Another user's link in a sticky world-writable folder, with the
    // kernel's protection of such links on: not followed.
    std::string saved = read_file("/proc/sys/fs/protected_symlinks");
    write_file("/proc/sys/fs/protected_symlinks", "1");
    mkdir(path("sticky").c_str(), 01777);
    chmod(path("sticky").c_str(), 01777);
    write_file(path("important.txt"), "important");
    write_file(path("sticky/report.txttenvarixcrypto"), "decrypt me");
    symlink(path("important.txt").c_str(), path("sticky/report.txt").c_str());
    lchown(path("sticky/report.txt").c_str(), other_uid, other_gid);
    EXPECT_EQ(crypt(path("sticky/report.txttenvarixcrypto")), CryptOutcome::OutFileNotWritten);
    write_file("/proc/sys/fs/protected_symlinks", saved);
    EXPECT_EQ(read_file(path("important.txt")), "important");
}

TEST_F(Transform, an_input_that_shrinks_or_grows_during_the_run_is_not_readable)
{
    for (const std::size_t new_size : {std::size_t(1000), std::size_t(600000)}) {
        write_file(path("live"), random_bytes(500000, 8));
        write_file(path("livetenvarixcrypto"), "earlier");
        // Changed once the first block is read.
        TransformOptions options;
        options.read = [&](int fd, char *buffer, std::size_t n) {
            if (lseek(fd, 0, SEEK_CUR) > 0)
                truncate(path("live").c_str(), off_t(new_size));
            return ::read(fd, buffer, n);
        };
        EXPECT_EQ(crypt(path("live"), kKey, options), CryptOutcome::InFileNotReadable) << new_size;
        EXPECT_EQ(error_, EBUSY) << new_size;
        EXPECT_EQ(read_file(path("livetenvarixcrypto")), "earlier");
        EXPECT_EQ(entries(scratch_.dir()).size(), 2u);
    }
}

// On a tmpfs: the output under way never shows, to anyone; a killed run
// leaves nothing and the earlier output byte for byte.
TEST_F(Transform, nobody_sees_the_output_under_way_and_a_killed_run_leaves_nothing)
{
    testfiles::SmallTmpfs tmpfs(path("fs"), "64m");
    if (!tmpfs.mounted())
        GTEST_SKIP() << "mounting a tmpfs needs root";
    const std::string dir = path("fs");
    const std::string earlier = random_bytes(5000, 9);
    write_file(tmpfs.path("big"), random_bytes(20 << 20, 10));
    write_file(tmpfs.path("bigtenvarixcrypto"), earlier);
    // Looked at before each read, as the output is written: open, with no
    // name in the folder (only this process can reach it).
    std::atomic<int> looks{0};
    TransformOptions options;
    options.read = [&](int fd, char *buffer, std::size_t n) {
        for (const std::string &name : open_files_in(dir))
            if (name.rfind(dir + "/#", 0) == 0)
                ++looks;
        EXPECT_EQ(entries(dir).size(), 2u);
        return ::read(fd, buffer, n);
    };
    EXPECT_EQ(crypt(tmpfs.path("big"), kKey, options), CryptOutcome::Done);
    EXPECT_GE(looks, 10) << "the unnamed output under way";

    write_file(tmpfs.path("bigtenvarixcrypto"), earlier);
    const pid_t child = fork();
    if (child == 0) {
        options.read = [](int fd, char *buffer, std::size_t n) {
            if (lseek(fd, 0, SEEK_CUR) >= 10 << 20)
                raise(SIGKILL);
            return ::read(fd, buffer, n);
        };
        RunToEnd({tmpfs.path("big")}, kKey, options);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_EQ(read_file(tmpfs.path("bigtenvarixcrypto")), earlier);
    EXPECT_EQ(entries(dir), (std::vector<std::string>{"big", "bigtenvarixcrypto"}));
}

// A real FAT file system (the kernel's on a loop device, else through FUSE):
// no unnamed temporary files, no owners, chmod refused.
TEST_F(Transform, on_a_file_system_without_permissions_outputs_are_created_and_replaced)
{
    const std::string image = path("fat.img"), dir = path("fat");
    mkdir(dir.c_str(), 0755);
    if (geteuid() != 0 ||
        std::system(("truncate -s 8M '" + image + "' && mkfs.vfat '" + image +
                     "' >/dev/null 2>&1 && { mount -o loop -t vfat '" + image + "' '" + dir +
                     "' 2>/dev/null || fusefat -o rw+ '" + image + "' '" + dir + "' >/dev/null; }")
                        .c_str()) != 0)
        GTEST_SKIP() << "needs root, mkfs.vfat and vfat or fusefat";
    struct Unmount {
        std::string dir;
        ~Unmount() { umount2(dir.c_str(), MNT_DETACH); }
    } unmount{dir};
    const std::string bytes = random_bytes(700000, 11);
    write_file(dir + "/a.txt", bytes);
    // The temporary file's hidden name, looked at as its commit begins.
    std::vector<std::string> seen_under_way;
    TransformOptions options;
    options.committing = [&](std::size_t) {
        if (CurrentTemporaryFile())
            seen_under_way.push_back(CurrentTemporaryFile());
    };
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(crypt(dir + "/a.txt", kKey, options), CryptOutcome::Done) << round;
        EXPECT_EQ(read_file(dir + "/a.txttenvarixcrypto"), xor_with(bytes, kKey));
        EXPECT_EQ(entries(dir), (std::vector<std::string>{"a.txt", "a.txttenvarixcrypto"}));
    }
    EXPECT_EQ(CurrentTemporaryFile(), nullptr);
    ASSERT_FALSE(seen_under_way.empty());
    EXPECT_EQ(seen_under_way.front().rfind(dir + "/.tvx", 0), 0u) << seen_under_way.front();
}
