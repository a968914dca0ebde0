#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <random>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "crypt/crypt.h"
#include "files.h"

namespace {

using namespace testfiles;

const std::string kKey = "abcdefghijkA1!";

std::string random_bytes(std::size_t size, unsigned variant)
{
    std::mt19937 gen(variant);
    std::string bytes(size, '\0');
    for (char &c : bytes)
        c = static_cast<char>(gen());
    return bytes;
}

class Transform : public ::testing::Test {
protected:
    std::string path(const std::string &name) const { return scratch_.path(name); }

    // Transforms in into its partner name, recording every progress step.
    CryptOutcome crypt(const std::string &in, const std::string &key = kKey,
                       const ProgressFn &progress = nullptr)
    {
        std::optional<InputFile> input = OpenInputFile(in);
        if (!input)
            return CryptOutcome::InFileNotFound;
        steps_.clear();
        return TransformFile(std::move(*input), MakeOutFileName(in), key,
                             [&](const ProgressStep &s) {
                                 steps_.push_back(s);
                                 return progress ? progress(s) : true;
                             });
    }

    testfiles::ScratchDir scratch_;
    std::vector<ProgressStep> steps_;
};

} // namespace

TEST_F(Transform, round_trip_through_both_names_restores_the_bytes)
{
    const std::string original = random_bytes(3 * 256 * 1024 + 4567, 1);
    write_file(path("report.txt"), original);
    ASSERT_EQ(crypt(path("report.txt")), CryptOutcome::Done);
    EXPECT_EQ(read_file(path("report.txt")), original) << "input untouched";
    EXPECT_EQ(read_file(path("report.txttenvarixcrypto")), xor_with(original, kKey));

    std::remove(path("report.txt").c_str());
    ASSERT_EQ(crypt(path("report.txttenvarixcrypto")), CryptOutcome::Done);
    EXPECT_EQ(read_file(path("report.txt")), original);
    EXPECT_EQ(entries(scratch_.dir()), (std::vector<std::string>{"report.txt", "report.txttenvarixcrypto"}));
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

TEST_F(Transform, each_milestone_comes_before_its_byte_is_written)
{
    const std::size_t size = 2 * 1024 * 1024 + 3;
    write_file(path("big"), random_bytes(size, 3));
    std::vector<std::uint64_t> written_at_step;
    ASSERT_EQ(crypt(path("big"), kKey,
                    [&](const ProgressStep &) {
                        // The output under way is the one open file besides the input.
                        std::uint64_t written = 0;
                        for (const auto &[name, st] : open_files_in(scratch_.dir()))
                            if (name != path("big"))
                                written = std::uint64_t(st.st_size);
                        written_at_step.push_back(written);
                        return true;
                    }),
              CryptOutcome::Done);
    const auto schedule = ProgressSchedule(size);
    ASSERT_EQ(steps_.size(), schedule.size() + 2);
    EXPECT_EQ(steps_.front().kind, ProgressStep::Start);
    EXPECT_EQ(written_at_step.front(), 0u);
    for (std::size_t i = 0; i < schedule.size(); ++i) {
        EXPECT_EQ(steps_[i + 1].fraction, schedule[i].fraction);
        EXPECT_EQ(written_at_step[i + 1], schedule[i].byte - 1);
    }
    EXPECT_EQ(steps_.back().fraction, 1.0);
    EXPECT_EQ(written_at_step.back(), size);
}

TEST_F(Transform, inputs_that_are_no_regular_files_do_not_open)
{
    mkdir(path("dir").c_str(), 0755);
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0644), 0);
    symlink("dir", path("link-to-dir").c_str());
    for (const std::string &p : {path("dir"), path("fifo"), path("missing"),
                                 path("link-to-dir"), std::string(), std::string("/dev/null")})
        EXPECT_FALSE(OpenInputFile(p).has_value()) << p;

    write_file(path("real"), "abc");
    symlink("real", path("link-to-real").c_str());
    const auto linked = OpenInputFile(path("link-to-real"));
    ASSERT_TRUE(linked.has_value());
    EXPECT_EQ(linked->size, 3u);
}

TEST_F(Transform, a_read_error_keeps_the_earlier_output_and_leaves_no_temporary_file)
{
    write_file(path("memtenvarixcrypto"), "earlier");
    auto input = OpenInputFile("/proc/self/mem");
    ASSERT_TRUE(input.has_value());
    EXPECT_EQ(TransformFile(std::move(*input), path("memtenvarixcrypto"), kKey,
                            [](const ProgressStep &) { return true; }),
              CryptOutcome::InFileNotReadable);
    EXPECT_EQ(read_file(path("memtenvarixcrypto")), "earlier");
    EXPECT_EQ(entries(scratch_.dir()), std::vector<std::string>{"memtenvarixcrypto"});
}

TEST_F(Transform, a_cancel_discards_the_output_under_way)
{
    write_file(path("c"), random_bytes(100000, 4));
    write_file(path("ctenvarixcrypto"), "earlier");
    EXPECT_EQ(crypt(path("c"), kKey,
                    [](const ProgressStep &s) { return s.kind != ProgressStep::Milestone; }),
              CryptOutcome::Cancelled);
    EXPECT_EQ(read_file(path("ctenvarixcrypto")), "earlier");
    EXPECT_EQ(entries(scratch_.dir()), (std::vector<std::string>{"c", "ctenvarixcrypto"}));
}

TEST_F(Transform, outputs_that_cannot_be_created_are_refused_before_writing)
{
    write_file(path("x"), "bytes");
    mkdir(path("xtenvarixcrypto").c_str(), 0755);
    EXPECT_EQ(crypt(path("x")), CryptOutcome::OutFileNotWritten) << "a directory";

    mkdir(path("sub").c_str(), 0755);
    write_file(path("sub/tenvarixcrypto"), "bytes");
    EXPECT_EQ(crypt(path("sub/tenvarixcrypto")), CryptOutcome::OutFileNotWritten)
        << "the bare marker cuts to its directory";

    const std::string long_name = std::string(250, 'n');
    write_file(path(long_name), "bytes");
    EXPECT_EQ(crypt(path(long_name)), CryptOutcome::OutFileNotWritten) << "name too long";

    write_file(path("y"), "bytes");
    symlink("no-such-dir/target", path("ytenvarixcrypto").c_str());
    EXPECT_EQ(crypt(path("y")), CryptOutcome::OutFileNotWritten) << "link into nowhere";

    EXPECT_TRUE(steps_.empty());
    auto input = OpenInputFile(path("x"));
    EXPECT_EQ(TransformFile(std::move(*input), "", kKey, nullptr),
              CryptOutcome::OutFileNotWritten);
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

    chmod(path("mtenvarixcrypto").c_str(), 0600);
    ASSERT_EQ(crypt(path("m")), CryptOutcome::Done);
    ASSERT_EQ(stat(path("mtenvarixcrypto").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
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
    const std::string big = random_bytes(200000, 6);
    write_file(path("big"), big);
    auto input = OpenInputFile(path("big"));
    ASSERT_TRUE(input.has_value());
    EXPECT_EQ(TransformFile(std::move(*input), small + "/bigtenvarixcrypto", kKey,
                            [](const ProgressStep &) { return true; }),
              CryptOutcome::OutFileNotWritten);
    EXPECT_EQ(read_file(small + "/bigtenvarixcrypto"), earlier);
    EXPECT_EQ(entries(small), std::vector<std::string>{"bigtenvarixcrypto"});

    ASSERT_TRUE(tmpfs.remount_read_only());
    write_file(path("tiny"), "tiny");
    input = OpenInputFile(path("tiny"));
    int steps = 0;
    EXPECT_EQ(TransformFile(std::move(*input), small + "/tinytenvarixcrypto", kKey,
                            [&](const ProgressStep &) { return ++steps, true; }),
              CryptOutcome::OutFileNotWritten);
    EXPECT_EQ(steps, 0);
    EXPECT_EQ(entries(small), std::vector<std::string>{"bigtenvarixcrypto"});
}
