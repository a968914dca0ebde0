// SPDX-License-Identifier: GPL-3.0-or-later
#include "transform.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

// A group of small outputs made durable together is bounded so that a
// cancel, which commits the group first, stays prompt: in files, and in
// bytes to about kGroupFlushTime of the disk's writing, as measured by the
// group's flushes (from the least, as nothing is known of the disk at
// first). Files that come slowly are committed after kGroupTime.
constexpr std::size_t kGroupFiles = 1000;
constexpr std::uint64_t kGroupMinBytes = 1024 * 1024;
constexpr std::uint64_t kGroupMaxBytes = 64 * 1024 * 1024;
constexpr double kGroupFlushTime = 0.05; // seconds
constexpr std::chrono::milliseconds kGroupTime(200);
// Larger files are made durable on their own, as they are written.
constexpr std::uint64_t kAloneBytes = 1024 * 1024;
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// Where a name lives: its folder's identity and its last part, so that two
// spellings of one name match; empty when the folder cannot be found. The
// last folder is remembered, as a list mostly names files side by side.
class NameKeys {
public:
    std::string of(const std::string &path)
    {
        const std::string folder = directory_of(path);
        if (folder != folder_) {
            struct stat st;
            folder_ = folder;
            folder_id_ = ::stat(folder.c_str(), &st) != 0
                             ? std::string()
                             : std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + "/";
        }
        return folder_id_.empty() ? std::string() : folder_id_ + name_in_directory(path);
    }

private:
    std::string folder_, folder_id_;
};

// Outputs whose bytes are all written, made durable and named together: one
// flush of their file system for their data, then their names, then one more
// flush of it (or of each of their folders) for the names.
class CommitGroup {
public:
    explicit CommitGroup(bool durable) : durable_(durable)
    {
        // Each output waiting in the group holds up to three descriptors
        // (file, earlier file, folder): the soft limit is raised towards the
        // hard one, as far as a full group needs, and the group stays well
        // inside whatever it is.
        struct rlimit files;
        if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY)
            return;
        const rlim_t wanted = 3 * kGroupFiles + 64;
        if (files.rlim_cur < wanted && files.rlim_max > files.rlim_cur) {
            files.rlim_cur = std::min(files.rlim_max, wanted);
            ::setrlimit(RLIMIT_NOFILE, &files);
            ::getrlimit(RLIMIT_NOFILE, &files);
        }
        max_files_ = std::clamp<rlim_t>((files.rlim_cur - std::min<rlim_t>(files.rlim_cur, 64)) / 3,
                                        1, kGroupFiles);
    }

    void add(std::unique_ptr<PartnerOutput> output, std::size_t file, std::uint64_t size,
             std::string name)
    {
        if (pending_.empty())
            started_ = std::chrono::steady_clock::now();
        pending_.push_back({std::move(output), file});
        bytes_ += size;
        names_.insert(std::move(name));
    }
    bool empty() const { return pending_.empty(); }
    // Whether a name is one that an output of the group takes when committed.
    bool names(const std::string &key) const { return !key.empty() && names_.count(key); }
    bool full() const
    {
        return pending_.size() >= max_files_ || bytes_ >= max_bytes_ ||
               (!pending_.empty() && std::chrono::steady_clock::now() - started_ >= kGroupTime);
    }
    // Commits the outputs in order: kNone when all are done, else the list
    // index of the first that failed; those before it keep their names, the
    // rest are discarded.
    std::size_t commit();

private:
    struct Pending {
        std::unique_ptr<PartnerOutput> output;
        std::size_t file;
    };
    bool durable_;
    std::size_t max_files_ = kGroupFiles;
    std::uint64_t max_bytes_ = kGroupMinBytes;
    std::vector<Pending> pending_;
    std::set<std::string> names_;
    std::uint64_t bytes_ = 0;
    std::chrono::steady_clock::time_point started_;
};

std::size_t CommitGroup::commit()
{
    std::vector<Pending> group = std::move(pending_);
    pending_.clear();
    names_.clear();
    const std::uint64_t bytes = bytes_;
    bytes_ = 0;
    const auto began = std::chrono::steady_clock::now();
    std::size_t good = group.size();
    auto upto = [&good](auto &&step) {
        for (std::size_t i = 0; i < good; ++i)
            if (!step(i)) {
                good = i;
                return;
            }
    };
    upto([&](std::size_t i) { return group[i].output->prepare(); });

    // One flush of each file system that covers its files puts their data on
    // disk, instead of one flush per file; a failed one leaves each file to
    // its own flush. Their names then go to disk with one more.
    std::vector<int> fs(good, -1); // the file's file system, where one flush covers it
    std::vector<int> fs_fd;        // a file on each of them
    if (durable_ && good > 1) {
        std::map<dev_t, int> known;
        for (std::size_t i = 0; i < good; ++i) {
            PartnerOutput &output = *group[i].output;
            struct stat st;
            if (::fstat(output.file(), &st) != 0)
                continue;
            const auto [it, fresh] = known.try_emplace(st.st_dev, -1);
            if (fresh && output.file_system_flush_covers()) {
                it->second = static_cast<int>(fs_fd.size());
                fs_fd.push_back(output.file());
            }
            fs[i] = it->second;
        }
    }
    auto flush_file_systems = [&] {
        std::vector<char> ok(fs_fd.size());
        for (std::size_t f = 0; f < fs_fd.size(); ++f)
            ok[f] = ::syncfs(fs_fd[f]) == 0;
        return ok;
    };
    const std::vector<char> data_flushed = flush_file_systems();
    upto([&](std::size_t i) {
        return group[i].output->make_durable(fs[i] >= 0 && data_flushed[fs[i]]);
    });
    upto([&](std::size_t i) { return group[i].output->take_name(); });

    const std::vector<char> names_flushed = flush_file_systems();
    std::map<std::string, bool> folders;
    std::vector<char> folder_ok(good, 1);
    for (std::size_t i = 0; i < good; ++i) {
        const std::string &folder = group[i].output->folder();
        if (folder.empty())
            continue;
        if (fs[i] >= 0 && names_flushed[fs[i]])
            continue;
        const auto [it, fresh] = folders.try_emplace(folder, false);
        if (fresh)
            it->second = group[i].output->flush_folder();
        folder_ok[i] = it->second;
    }
    // In list order: once one fails, the new names after it are taken back.
    std::size_t failed = kNone;
    for (std::size_t i = 0; i < good; ++i) {
        const bool keep = folder_ok[i] && failed == kNone;
        if (!group[i].output->close_named(keep) && failed == kNone)
            failed = group[i].file;
    }
    if (failed == kNone && good < group.size())
        failed = group[good].file;
    // The next group holds what the disk writes in about kGroupFlushTime.
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    if (durable_ && group.size() > 1 && took.count() > 0)
        max_bytes_ = std::clamp<std::uint64_t>(
            static_cast<std::uint64_t>(double(bytes) * kGroupFlushTime / took.count()),
            kGroupMinBytes, kGroupMaxBytes);
    return failed;
}

} // namespace

struct CryptRun::State {
    std::mutex mutex;
    std::vector<RunReport> reports;
    bool ended = false;
    CryptOutcome outcome = CryptOutcome::Done;
    std::size_t file = 0;
    std::atomic<bool> stopped{false};
    // Guarded by mutex: files whose end was reported and that wait for their
    // commit, and whether the run was let go of (it then reports nothing).
    std::size_t uncommitted = 0;
    bool abandoned = false;
    std::function<void()> wake;
    std::thread worker;

    // wake is called with the lock held, so that none runs once abandoned.
    void push(const RunReport &report)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (abandoned)
            return;
        if (report.step.kind == ProgressStep::End)
            ++uncommitted;
        reports.push_back(report);
        if (reports.size() == 1 && wake)
            wake();
    }
    void end(CryptOutcome how, std::size_t at)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (abandoned)
            return;
        ended = true;
        outcome = how;
        file = at;
        if (wake)
            wake();
    }
    bool let_go()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return abandoned;
    }
    // Commits the group, unless the run was let go of.
    std::size_t commit(CommitGroup &group)
    {
        if (let_go())
            return kNone;
        const std::size_t failed = group.commit();
        std::lock_guard<std::mutex> lock(mutex);
        uncommitted = 0;
        return failed;
    }
    void work(const std::vector<std::string> &paths, std::string_view key,
              const TransformOptions &options);
};

void CryptRun::State::work(const std::vector<std::string> &paths, std::string_view key,
                           const TransformOptions &options)
{
    CommitGroup group(options.durable);
    NameKeys keys;
    const mode_t umask = CurrentUmask();
    auto go_on = [this] { return !stopped.load(); };
    // Whatever ends the run, the files that reached their end are kept.
    auto finish = [&](CryptOutcome how, std::size_t at) {
        const std::size_t failed = commit(group);
        if (failed != kNone)
            return end(CryptOutcome::OutFileNotWritten, failed);
        end(how, at);
    };
    std::size_t i = 0;
    try {
        for (; i < paths.size(); ++i) {
            if (!go_on())
                return finish(CryptOutcome::Cancelled, i);
            // A path that reads or writes a name the group has yet to give
            // (a file followed by its output, a path listed twice) waits for
            // the group, as the files before it are done first.
            const std::string out_name = MakeOutFileName(paths[i]);
            const std::string out_key = keys.of(out_name);
            if (group.names(keys.of(paths[i])) || group.names(out_key)) {
                const std::size_t failed = commit(group);
                if (failed != kNone)
                    return end(CryptOutcome::OutFileNotWritten, failed);
            }
            std::optional<InputFile> input = OpenInputFile(paths[i]);
            if (!input && !group.empty()) {
                const std::size_t failed = commit(group);
                if (failed != kNone)
                    return end(CryptOutcome::OutFileNotWritten, failed);
                input = OpenInputFile(paths[i]);
            }
            if (!input)
                return finish(CryptOutcome::InFileNotFound, i);
            const std::uint64_t size = input->size;
            std::unique_ptr<PartnerOutput> output;
            const CryptOutcome outcome = WritePartner(
                std::move(*input), out_name, key, umask, options,
                [&](const ProgressStep &step) { push({i, step}); }, go_on, &output);
            if (outcome != CryptOutcome::Done)
                return finish(outcome, i);
            // A large file is made durable on its own, after the ones before it.
            if (size > kAloneBytes && !group.empty()) {
                const std::size_t failed = commit(group);
                if (failed != kNone)
                    return end(CryptOutcome::OutFileNotWritten, failed);
            }
            if (let_go())
                return;
            group.add(std::move(output), i, size, out_key);
            if (size > kAloneBytes || group.full()) {
                const std::size_t failed = commit(group);
                if (failed != kNone)
                    return end(CryptOutcome::OutFileNotWritten, failed);
            }
        }
        finish(CryptOutcome::Done, i);
    } catch (const std::exception &) {
        // Memory for a report or a group that cannot be had: the outputs
        // under way are discarded as the group goes.
        end(CryptOutcome::OutFileNotWritten, i);
    }
}

CryptRun::CryptRun(std::vector<std::string> paths, std::string_view key,
                   std::function<void()> wake, TransformOptions options)
    : state_(std::make_shared<State>())
{
    state_->wake = std::move(wake);
    struct Job {
        std::vector<std::string> paths;
        SecretBytes key;
        TransformOptions options;
    };
    // Shared, so that it is still here should the thread not start.
    auto job = std::make_shared<Job>(Job{std::move(paths), SecretBytes(key), std::move(options)});
    auto run = [state = state_, job] { state->work(job->paths, job->key.view(), job->options); };
    try {
        state_->worker = std::thread(run);
    } catch (const std::system_error &) {
        run(); // no thread to be had: the same work, here
    }
}

CryptRun::~CryptRun()
{
    stop();
    if (state_->worker.joinable())
        state_->worker.join();
}

void CryptRun::stop()
{
    state_->stopped = true;
}

bool CryptRun::abandon()
{
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (!state_->stopped || state_->ended || state_->uncommitted > 0 ||
            !state_->worker.joinable())
            return false;
        state_->abandoned = true;
    }
    state_->worker.detach();
    return true;
}

bool CryptRun::take(std::vector<RunReport> &into, CryptOutcome *outcome, std::size_t *file)
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    into.insert(into.end(), state_->reports.begin(), state_->reports.end());
    state_->reports.clear();
    if (!state_->ended)
        return false;
    *outcome = state_->outcome;
    *file = state_->file;
    return true;
}
