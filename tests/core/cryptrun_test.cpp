// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "crypt/exitcleanup.h"
#include "crypt/run.h"
#include "faultydisk.h"
#include "files.h"
#include "runone.h"

namespace {

using namespace testfiles;

class Run : public ScratchTest {
protected:
    ~Run() override { faultydisk::reset(); }
};

std::size_t thread_count()
{
    return entries("/proc/self/task").size();
}

RunResult run_list(const std::vector<std::string> &paths, const TransformOptions &options = {},
                   const std::function<void(CryptRun &, const RunReport &)> &on_report = nullptr)
{
    return RunToEnd(paths, kKey, options, on_report);
}

// Files in list order, each with its own steps; the first path that fails
// stops the run there, with the files before it done and the rest untouched,
// and the run tells why and of which name: the input, or the output name.
TEST_F(Run, a_run_works_through_its_list_in_order_and_stops_at_the_first_failure)
{
    const std::string big = random_bytes(3 * 256 * 1024 + 7, 10);
    write_file(path("a"), "first");
    write_file(path("b"), big);
    write_file(path("c"), "never reached");
    // ThreadSanitizer starts a helper thread of its own with the first thread.
    std::thread([] {}).join();
    const std::size_t threads_before = thread_count();
    RunResult r = run_list({path("a"), path("b"), path("missing"), path("c")});
    EXPECT_EQ(r.outcome, CryptOutcome::InFileNotFound);
    EXPECT_EQ(r.file, 2u);
    EXPECT_EQ(r.error, ENOENT);
    EXPECT_EQ(r.path, path("missing"));
    std::vector<std::pair<std::size_t, double>> expected;
    for (std::size_t file : {0, 1}) {
        expected.push_back({file, 0.0});
        const std::size_t size = file == 0 ? 5 : big.size();
        for (const ProgressStep &s : ProgressSchedule(size))
            if (s.byte <= size)
                expected.push_back({file, s.fraction});
        expected.push_back({file, 1.0});
    }
    std::vector<std::pair<std::size_t, double>> seen;
    for (const RunReport &report : r.reports)
        seen.push_back({report.file, report.step.fraction});
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(read_file(path("atenvarixcrypto")), xor_with("first", kKey));
    EXPECT_EQ(read_file(path("btenvarixcrypto")), xor_with(big, kKey));
    EXPECT_FALSE(exists(path("ctenvarixcrypto")));
    EXPECT_EQ(thread_count(), threads_before);

    // A read that fails after the first block of the second file.
    TransformOptions options;
    options.read = [](int fd, char *buffer, std::size_t n) -> ssize_t {
        struct stat st;
        if (::lseek(fd, 0, SEEK_CUR) > 0 && ::fstat(fd, &st) == 0 && st.st_size > 100000) {
            errno = EIO;
            return -1;
        }
        return ::read(fd, buffer, n);
    };
    write_file(path("btenvarixcrypto"), "earlier");
    r = run_list({path("c"), path("b"), path("a")}, options);
    EXPECT_EQ(r.outcome, CryptOutcome::InFileNotReadable);
    EXPECT_EQ(r.file, 1u);
    EXPECT_EQ(r.error, EIO);
    EXPECT_EQ(r.path, path("b"));
    EXPECT_EQ(read_file(path("ctenvarixcrypto")), xor_with("never reached", kKey));
    EXPECT_EQ(read_file(path("btenvarixcrypto")), "earlier");
    EXPECT_EQ(entries(scratch_.dir()).size(), 6u) << "nothing left beside the outputs";

    // A failure inside a group of small files, at its commit: the name of the
    // second appears while it is read. The first keeps its name, the rest go,
    // and an output after it that is written in place (its earlier file has
    // a second name) is never touched.
    for (const char *name : {"atenvarixcrypto", "btenvarixcrypto", "ctenvarixcrypto"})
        std::remove(path(name).c_str());
    write_file(path("b"), "second");
    write_file(path("ctenvarixcrypto"), "earlier, linked");
    ASSERT_EQ(::link(path("ctenvarixcrypto").c_str(), path("c-link").c_str()), 0);
    TransformOptions name_meanwhile;
    name_meanwhile.read = [this](int fd, char *buffer, std::size_t n) {
        if (::lseek(fd, 0, SEEK_CUR) == 0 && !exists(path("btenvarixcrypto")) &&
            read_file("/proc/self/fd/" + std::to_string(fd)) == "second")
            write_file(path("btenvarixcrypto"), "made meanwhile");
        return ::read(fd, buffer, n);
    };
    r = run_list({path("a"), path("b"), path("c")}, name_meanwhile);
    EXPECT_EQ(r.outcome, CryptOutcome::OutFileNotWritten);
    EXPECT_EQ(r.file, 1u);
    EXPECT_EQ(r.error, EEXIST);
    EXPECT_EQ(r.path, path("btenvarixcrypto"));
    EXPECT_EQ(read_file(path("atenvarixcrypto")), xor_with("first", kKey));
    EXPECT_EQ(read_file(path("btenvarixcrypto")), "made meanwhile");
    EXPECT_EQ(read_file(path("ctenvarixcrypto")), "earlier, linked");
}

// Where no thread can be had, for the run, its commits or a reader, the same
// work runs on the calling thread and the run ends as it would.
TEST_F(Run, without_threads_a_run_does_the_same_work_on_the_caller)
{
    const std::string big = random_bytes(3 * 256 * 1024 + 7, 16);
    write_file(path("big"), big);
    write_file(path("small"), "small");
    // The first start to fail is the worker's, the committer's, a reader's.
    for (int fails_from : {1, 2, 3}) {
        write_file(path("smalltenvarixcrypto"), "earlier");
        std::remove(path("bigtenvarixcrypto").c_str());
        faultydisk::threads_fail_from = fails_from;
        const RunResult r = run_list({path("small"), path("big")});
        EXPECT_GE(faultydisk::thread_calls, fails_from) << "a start failed";
        faultydisk::reset();
        EXPECT_EQ(r.outcome, CryptOutcome::Done) << fails_from;
        ASSERT_FALSE(r.reports.empty());
        EXPECT_EQ(r.reports.back().file, 1u);
        EXPECT_EQ(r.reports.back().step.kind, ProgressStep::End);
        EXPECT_EQ(read_file(path("smalltenvarixcrypto")), xor_with("small", kKey));
        EXPECT_EQ(read_file(path("bigtenvarixcrypto")), xor_with(big, kKey));
        EXPECT_EQ(entries(scratch_.dir()).size(), 4u) << fails_from;
    }
}

// Many small files made durable in groups, then a slow large one: a stop
// keeps every file whose end was reported and discards the one under way.
TEST_F(Run, a_stopped_run_keeps_the_files_that_reached_their_end)
{
    std::vector<std::string> paths;
    for (int i = 0; i < 150; ++i) {
        paths.push_back(path("small" + std::to_string(i)));
        write_file(paths.back(), "small file " + std::to_string(i));
    }
    const std::string slow = path("slow");
    write_file(slow, random_bytes(8 * 256 * 1024, 11));
    write_file(slow + "tenvarixcrypto", "earlier");
    paths.push_back(slow);
    paths.push_back(path("small0"));
    std::atomic<bool> stopped{false};
    TransformOptions options;
    options.read = [&](int fd, char *buffer, std::size_t n) {
        // The large file's reads wait for the stop.
        struct stat st;
        if (::fstat(fd, &st) == 0 && st.st_size > 100000)
            for (int i = 0; i < 500 && !stopped; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return ::read(fd, buffer, n);
    };
    const RunResult r = run_list(paths, options, [&](CryptRun &run, const RunReport &report) {
        if (report.file == 150 && report.step.kind == ProgressStep::Start) {
            run.stop();
            stopped = true;
        }
    });
    EXPECT_EQ(r.outcome, CryptOutcome::Cancelled);
    ASSERT_FALSE(r.reports.empty());
    EXPECT_EQ(r.reports.back().file, 150u);
    for (int i = 0; i < 150; ++i)
        ASSERT_EQ(read_file(paths[i] + "tenvarixcrypto"),
                  xor_with("small file " + std::to_string(i), kKey))
            << i;
    EXPECT_EQ(read_file(slow + "tenvarixcrypto"), "earlier");
    EXPECT_EQ(entries(scratch_.dir()).size(), 302u) << "nothing left beside the outputs";
}

// On a slow disk small files are not held back until a group is full, nor
// by a slow large file after them: a group ends 200 ms after its first file
// at most, so the first files have their names long before the run ends.
TEST_F(Run, on_a_slow_disk_small_files_take_their_names_as_the_run_goes)
{
    std::vector<std::string> paths;
    for (int i = 0; i < 40; ++i) {
        paths.push_back(path("f" + std::to_string(i)));
        write_file(paths.back(), "small " + std::to_string(i));
    }
    const std::string large = random_bytes(3 << 20, 12);
    write_file(path("large"), large);
    paths.push_back(path("large"));
    std::atomic<bool> small_named_meanwhile{false};
    TransformOptions options;
    options.read = [&](int fd, char *buffer, std::size_t n) {
        struct stat st;
        // The large file's reads wait (5 s at most) for the small ones' names.
        if (::fstat(fd, &st) == 0 && st.st_size > 100000) {
            for (int i = 0; i < 500 && !small_named_meanwhile; ++i) {
                small_named_meanwhile = exists(paths[39] + "tenvarixcrypto");
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        } else { // a small file is one read
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return ::read(fd, buffer, n);
    };
    bool first_named_early = false;
    const RunResult r = run_list(paths, options, [&](CryptRun &, const RunReport &report) {
        if (report.file == 35 && report.step.kind == ProgressStep::Start)
            first_named_early = exists(paths[0] + "tenvarixcrypto");
    });
    EXPECT_EQ(r.outcome, CryptOutcome::Done);
    EXPECT_TRUE(first_named_early) << "the first group was committed while the run went on";
    EXPECT_TRUE(small_named_meanwhile) << "the small files were named while the large one was read";
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(read_file(paths[i] + "tenvarixcrypto"),
                  xor_with("small " + std::to_string(i), kKey));
    EXPECT_EQ(read_file(path("largetenvarixcrypto")), xor_with(large, kKey));
}

// Stops the run and asks every 10 ms (5 s at most) to let go of it, as the
// window does; true once let go of, false if the run ended first or never.
bool let_go_after_stop(CryptRun &run)
{
    run.stop();
    for (int i = 0; i < 500; ++i) {
        if (run.abandon())
            return true;
        if (run.take().end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Waits (5 s at most) until the run has reported a step of path `file`.
void wait_for_file(CryptRun &run, std::size_t file)
{
    for (std::size_t last = 0, i = 0; i < 500 && last < file; ++i) {
        for (const RunReport &report : run.take().reports)
            last = report.file;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// A stopped run is let go of, with the worker held up inside a read, once
// every file whose end it reported has its name, and not before: however
// long a commit takes, and without waiting for the read. Let go, it leaves
// nothing else.
TEST_F(Run, a_stopped_run_is_let_go_of_only_once_its_done_files_are_named)
{
    std::vector<std::string> paths;
    for (int i = 0; i < 20; ++i) {
        paths.push_back(path("done" + std::to_string(i)));
        write_file(paths.back(), "reported " + std::to_string(i));
    }
    write_file(path("stuck"), "held up by the disk");
    // Shared with the worker, which may outlive the test once let go of.
    auto release = std::make_shared<std::atomic<bool>>(false);
    TransformOptions options;
    options.read = [release](int fd, char *buffer, std::size_t n) {
        struct stat st;
        if (::fstat(fd, &st) == 0 && st.st_size == 19)
            while (!*release)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return ::read(fd, buffer, n);
    };
    paths.push_back(path("stuck"));
    {
        CryptRun run(paths, kKey, nullptr, options);
        wait_for_file(run, 20);
        EXPECT_FALSE(run.abandon()) << "not before a stop";
        EXPECT_TRUE(let_go_after_stop(run)) << "the read is not waited for";
        for (int i = 0; i < 20; ++i)
            EXPECT_EQ(read_file(paths[i] + "tenvarixcrypto"),
                      xor_with("reported " + std::to_string(i), kKey));
        EXPECT_FALSE(exists(path("stucktenvarixcrypto")));
    }
    *release = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(entries(scratch_.dir()).size(), 41u) << "nothing beside the inputs and outputs";

    // A large file's commit, after the small files before it, slowed down:
    // the run is stopped at its end and let go of only once it is named.
    const std::string large = random_bytes(2 << 20, 13);
    write_file(path("large"), large);
    options.read = nullptr;
    options.committing = [](std::size_t first) {
        if (first == 3)
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
    };
    CryptRun run({paths[0], paths[1], paths[2], path("large")}, kKey, nullptr, options);
    bool large_ended = false;
    for (int i = 0; i < 500 && !large_ended; ++i) {
        for (const RunReport &report : run.take().reports)
            large_ended = report.file == 3 && report.step.kind == ProgressStep::End;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    let_go_after_stop(run); // let go of, or ended
    EXPECT_EQ(read_file(path("largetenvarixcrypto")), xor_with(large, kKey));
}

// Descriptors the program inherited count against the outputs that wait for
// their commit: with a hundred of them open under a limit of 250, a long
// list of writable files is done in full.
TEST_F(Run, descriptors_open_at_start_leave_every_output_room)
{
    std::vector<std::string> paths;
    for (int i = 0; i < 1500; ++i) {
        paths.push_back(path("f" + std::to_string(i)));
        write_file(paths.back(), std::to_string(i));
    }
    const pid_t child = fork();
    if (child == 0) {
        const struct rlimit limit = {250, 250};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            _exit(2);
        for (int i = 0; i < 100; ++i)
            if (open("/dev/null", O_RDONLY) < 0)
                _exit(3);
        TransformOptions options;
        options.durable = false; // only the descriptors matter here
        _exit(run_list(paths, options).outcome == CryptOutcome::Done ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (int i = 0; i < 1500; i += 100)
        EXPECT_EQ(read_file(paths[i] + "tenvarixcrypto"), xor_with(std::to_string(i), kKey));
}

// On a disk whose every flush costs time whatever it holds, a file shown
// done waits for at most the commit under way and its own, and a stop for
// no more than that, however many files are shown done meanwhile.
TEST_F(Run, on_a_disk_whose_flush_is_slow_a_file_waits_for_two_commits_at_most)
{
    constexpr int kFlushMs = 250;
    constexpr int kFiles = 600;
    // Small files, yet many bytes a commit: a group sized in bytes would lag.
    const std::string content = random_bytes(64 * 1024, 14);
    std::vector<std::string> paths;
    for (int i = 0; i < kFiles; ++i) {
        paths.push_back(path("f" + std::to_string(i)));
        write_file(paths.back(), content);
    }
    faultydisk::syncfs_delay_ms = kFlushMs;
    // When each file's name first appears, looked for every 10 ms.
    using Clock = std::chrono::steady_clock;
    std::map<std::string, Clock::time_point> named;
    std::mutex named_mutex;
    std::atomic<bool> watching{true};
    std::thread watcher([&] {
        while (watching) {
            const auto now = Clock::now();
            const std::vector<std::string> names = entries(scratch_.dir());
            {
                std::lock_guard<std::mutex> lock(named_mutex);
                for (const std::string &name : names)
                    named.emplace(name, now);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    std::map<std::size_t, Clock::time_point> ended;
    Clock::time_point stopped;
    const RunResult r = run_list(paths, {}, [&](CryptRun &run, const RunReport &report) {
        if (report.step.kind == ProgressStep::End)
            ended.emplace(report.file, Clock::now());
        if (report.file == 500 && report.step.kind == ProgressStep::Start) {
            stopped = Clock::now();
            run.stop();
        }
    });
    const auto stop_took = Clock::now() - stopped;
    watching = false;
    watcher.join();
    EXPECT_EQ(r.outcome, CryptOutcome::Cancelled);
    // A commit is two flushes; a file may end just after one began.
    using std::chrono::duration_cast;
    using Ms = std::chrono::milliseconds;
    const long bound = 200 + 2 * (2 * kFlushMs) + 700;
    Clock::duration longest{};
    for (const auto &[file, at] : ended) {
        const auto it = named.find("f" + std::to_string(file) + "tenvarixcrypto");
        ASSERT_NE(it, named.end()) << "file " << file << " was shown done and is kept";
        longest = std::max(longest, it->second - at);
    }
    EXPECT_GE(ended.size(), 500u);
    EXPECT_LE(duration_cast<Ms>(longest).count(), bound) << "the longest wait for a name";
    EXPECT_LE(duration_cast<Ms>(stop_took).count(), bound) << "a stop";
}

// A failure at the flush that makes a group's names durable, at one file's
// own flush where the flush of its file system failed, or at the close of a
// replacement, leaves the failing file and every file after it as it was,
// replacements included, byte for byte.
TEST_F(Run, a_failure_at_the_last_flush_or_a_close_leaves_every_earlier_file_after_it)
{
    std::vector<std::string> paths;
    const std::set<int> replaced = {1, 2, 5, 9};
    auto reset_files = [&] {
        paths.clear();
        for (int i = 0; i < 10; ++i) {
            paths.push_back(path("f" + std::to_string(i)));
            write_file(paths.back(), "new " + std::to_string(i));
            std::remove((paths.back() + "tenvarixcrypto").c_str());
            if (replaced.count(i))
                write_file(paths.back() + "tenvarixcrypto", "earlier " + std::to_string(i));
        }
    };
    auto expect_untouched_from = [&](int first) {
        for (int i = first; i < 10; ++i) {
            if (replaced.count(i))
                EXPECT_EQ(read_file(paths[i] + "tenvarixcrypto"), "earlier " + std::to_string(i))
                    << i;
            else
                EXPECT_FALSE(exists(paths[i] + "tenvarixcrypto")) << i;
        }
        for (int i = 0; i < first; ++i)
            EXPECT_EQ(read_file(paths[i] + "tenvarixcrypto"),
                      xor_with("new " + std::to_string(i), kKey))
                << i;
        const auto made = first - std::count_if(replaced.begin(), replaced.end(),
                                                [&](int i) { return i < first; });
        EXPECT_EQ(entries(scratch_.dir()).size(), 10 + replaced.size() + made) << "nothing else";
    };

    // The names' flush fails, and the folder's flush after it.
    reset_files();
    faultydisk::syncfs_fails_from = 2;
    faultydisk::folder_fsync_fails = true;
    RunResult r = run_list(paths);
    EXPECT_EQ(r.outcome, CryptOutcome::OutFileNotWritten);
    EXPECT_EQ(r.file, 0u);
    EXPECT_EQ(r.error, EIO);
    EXPECT_EQ(r.path, paths[0] + "tenvarixcrypto");
    expect_untouched_from(0);

    // Every flush of the file system fails (as for another program's write
    // error): each file is flushed on its own, and file 5's flush fails.
    faultydisk::reset();
    reset_files();
    faultydisk::syncfs_fails_from = 1;
    faultydisk::file_fsync_fails_at = 6;
    r = run_list(paths);
    EXPECT_EQ(r.outcome, CryptOutcome::OutFileNotWritten);
    EXPECT_EQ(r.file, 5u);
    EXPECT_EQ(r.error, EIO);
    expect_untouched_from(5);

    // The close of the replacement of file 5 fails, with or without unnamed
    // temporary files.
    for (bool unnamed : {true, false}) {
        faultydisk::reset();
        faultydisk::no_unnamed_files = !unnamed;
        reset_files();
        faultydisk::fail_close_of(paths[5] + "tenvarixcrypto");
        r = run_list(paths);
        EXPECT_EQ(r.outcome, CryptOutcome::OutFileNotWritten) << unnamed;
        EXPECT_EQ(r.file, 5u) << unnamed;
        EXPECT_EQ(r.error, EIO) << unnamed;
        expect_untouched_from(5);
    }
}

std::uint64_t inode_of(const std::string &path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// A path that leads to a name an output waiting for its commit is to take,
// as an input or as an output name, gives the result that the list's order
// gives: a folder crypted again (each file, then its partner), a partner
// listed before its file, a path listed twice, a link to a name still to be
// taken, new or existing.
TEST_F(Run, a_path_that_leads_to_a_name_still_to_be_taken_gives_what_the_list_order_gives)
{
    // A folder of files of several sizes and modes, crypted, then again.
    std::vector<std::string> files, both;
    for (int i = 0; i < 12; ++i) {
        files.push_back(path("f" + std::to_string(i)));
        write_file(files.back(), random_bytes(i == 5 ? (2 << 20) + 3 : 1000 * i, 20 + i));
        ::chmod(files.back().c_str(), i % 3 == 0 ? 0640 : 0604);
        both.push_back(files.back());
        both.push_back(files.back() + "tenvarixcrypto");
    }
    const mode_t umask_before = ::umask(027);
    ASSERT_EQ(run_list(files).outcome, CryptOutcome::Done);
    std::set<std::size_t> groups;
    TransformOptions options;
    options.committing = [&groups](std::size_t first) { groups.insert(first); };
    RunResult r = run_list(both, options);
    EXPECT_EQ(r.outcome, CryptOutcome::Done);
    for (int i = 0; i < 12; ++i) {
        const std::string bytes = random_bytes(i == 5 ? (2 << 20) + 3 : 1000 * i, 20 + i);
        EXPECT_EQ(read_file(files[i]), bytes) << i;
        EXPECT_EQ(read_file(files[i] + "tenvarixcrypto"), xor_with(bytes, kKey)) << i;
        struct stat st, partner;
        ASSERT_EQ(::stat(files[i].c_str(), &st), 0);
        ASSERT_EQ(::stat((files[i] + "tenvarixcrypto").c_str(), &partner), 0);
        EXPECT_EQ(st.st_mode & 07777, i % 3 == 0 ? 0640u : 0604u) << i;
        EXPECT_EQ(partner.st_mode & 07777, i % 3 == 0 ? 0640u : 0600u) << i;
    }
    EXPECT_LT(groups.size(), 12u) << "a partner does not wait for its file's commit";
    EXPECT_EQ(entries(scratch_.dir()).size(), 24u) << "nothing left beside the files";

    // A partner before its file, a file before its new partner and that
    // partner twice, a path twice.
    write_file(path("a"), "a's bytes");
    write_file(path("atenvarixcrypto"), "a's partner");
    r = run_list({path("atenvarixcrypto"), path("a")});
    EXPECT_EQ(r.outcome, CryptOutcome::Done);
    EXPECT_EQ(read_file(path("a")), xor_with("a's partner", kKey));
    EXPECT_EQ(read_file(path("atenvarixcrypto")), "a's partner");
    std::remove(path("atenvarixcrypto").c_str());
    write_file(path("a"), "a's bytes");
    r = run_list(
        {path("a"), path("atenvarixcrypto"), path("atenvarixcrypto"), path("a"), path("a")});
    EXPECT_EQ(r.outcome, CryptOutcome::Done);
    EXPECT_EQ(read_file(path("a")), "a's bytes");
    EXPECT_EQ(read_file(path("atenvarixcrypto")), xor_with("a's bytes", kKey));

    // A link to a's partner, which is new or replaces an earlier one: the
    // link's new partner has the mode that partner has once named.
    const std::string a = random_bytes(30000, 15);
    write_file(path("a"), a);
    ::chmod(path("a").c_str(), 0644);
    ASSERT_EQ(::symlink("atenvarixcrypto", path("l").c_str()), 0);
    for (bool earlier : {false, true}) {
        std::remove(path("atenvarixcrypto").c_str());
        std::remove(path("ltenvarixcrypto").c_str());
        if (earlier) {
            write_file(path("atenvarixcrypto"), "an earlier output, 21");
            ::chmod(path("atenvarixcrypto").c_str(), 0604);
        }
        r = run_list({path("a"), path("l")});
        EXPECT_EQ(r.outcome, CryptOutcome::Done) << earlier;
        EXPECT_EQ(read_file(path("ltenvarixcrypto")), a) << "made from a's new partner";
        struct stat st;
        ASSERT_EQ(::stat(path("ltenvarixcrypto").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, earlier ? 0600u : 0640u) << earlier;
    }
    ::umask(umask_before);

    // b's partner name leads to a's partner, new or a replacement.
    write_file(path("b"), "b's bytes");
    ASSERT_EQ(::symlink("atenvarixcrypto", path("btenvarixcrypto").c_str()), 0);
    for (bool earlier : {false, true}) {
        std::remove(path("atenvarixcrypto").c_str());
        if (earlier)
            write_file(path("atenvarixcrypto"), "earlier");
        r = run_list({path("a"), path("b")});
        EXPECT_EQ(r.outcome, CryptOutcome::Done) << earlier;
        EXPECT_EQ(read_file(path("atenvarixcrypto")), xor_with("b's bytes", kKey)) << earlier;
    }
}

// A folder crypted again whose commit fails at the close of one replacement
// (with or without unnamed temporary files): the run ends there, and that
// file and every one after it, the partners made from it included, are the
// very files they were.
TEST_F(Run, a_failed_commit_in_a_folder_crypted_again_keeps_nothing_after_it)
{
    for (bool unnamed : {true, false}) {
        faultydisk::reset();
        faultydisk::no_unnamed_files = !unnamed;
        std::vector<std::string> both;
        std::vector<std::uint64_t> inodes;
        for (int i = 0; i < 6; ++i) {
            const std::string file = path("f" + std::to_string(i));
            write_file(file, "file " + std::to_string(i));
            write_file(file + "tenvarixcrypto", "earlier partner " + std::to_string(i));
            for (const std::string &name : {file, file + "tenvarixcrypto"}) {
                both.push_back(name);
                inodes.push_back(inode_of(name));
            }
        }
        faultydisk::fail_close_of(path("f2tenvarixcrypto"));
        const RunResult r = run_list(both);
        EXPECT_EQ(r.outcome, CryptOutcome::OutFileNotWritten) << unnamed;
        EXPECT_EQ(r.file, 4u) << unnamed;
        EXPECT_EQ(r.error, EIO) << unnamed;
        EXPECT_EQ(r.path, path("f2tenvarixcrypto")) << unnamed;
        for (int i = 0; i < 6; ++i) {
            const std::string file = path("f" + std::to_string(i));
            EXPECT_EQ(read_file(file), "file " + std::to_string(i)) << unnamed << i;
            EXPECT_EQ(read_file(file + "tenvarixcrypto"),
                      i < 2 ? xor_with("file " + std::to_string(i), kKey)
                            : "earlier partner " + std::to_string(i))
                << unnamed << i;
            EXPECT_EQ(inode_of(file) == inodes[2 * i], i >= 2) << unnamed << i;
            EXPECT_EQ(inode_of(file + "tenvarixcrypto") == inodes[2 * i + 1], i >= 2)
                << unnamed << i;
        }
        EXPECT_EQ(entries(scratch_.dir()).size(), 12u) << unnamed << " nothing else";
    }
}

// The exit-time clean-up may be reached twice (a let-go run, then a lost
// display), and a worker let go of before it opened its output makes
// nothing after it. Exit-time clean-up is for good: in a child process.
TEST_F(Run, the_exit_clean_up_runs_once_and_a_let_go_worker_makes_nothing_after_it)
{
    std::vector<std::string> paths;
    for (int i = 0; i < 5; ++i) {
        paths.push_back(path("done" + std::to_string(i)));
        write_file(paths.back(), "done " + std::to_string(i));
    }
    paths.push_back(path("held"));
    write_file(paths.back(), "its open is held up");
    const pid_t child = fork();
    if (child == 0) {
        faultydisk::no_unnamed_files = true; // hidden temporary files, as on FAT
        faultydisk::hold_open_of(path("held"));
        CryptRun run(paths, kKey, nullptr);
        wait_for_file(run, 4);
        for (int i = 0; i < 500 && !exists(paths[4] + "tenvarixcrypto"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!let_go_after_stop(run))
            _exit(2);
        EndWritingForExit();
        EndWritingForExit();
        faultydisk::release_open();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        _exit(0);
    }
    int status = -1;
    for (int i = 0; i < 1000 && waitpid(child, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (waitpid(child, &status, WNOHANG) == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "the clean-up hung";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(read_file(paths[i] + "tenvarixcrypto"),
                  xor_with("done " + std::to_string(i), kKey));
    EXPECT_EQ(entries(scratch_.dir()).size(), 11u) << "no temporary file left";
}

} // namespace
