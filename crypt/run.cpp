// SPDX-License-Identifier: GPL-3.0-or-later
#include "committer.h"
#include "transform.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <sys/stat.h>
#include <system_error>
#include <thread>

namespace {

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

} // namespace

struct CryptRun::State {
    std::mutex mutex;
    std::vector<RunReport> reports;
    bool ended = false;
    CryptOutcome outcome = CryptOutcome::Done;
    std::size_t file = 0;
    std::atomic<bool> stopped{false};
    // Guarded by mutex: files whose end was reported and that are neither
    // committed nor discarded yet, and whether the run was let go of (it
    // then reports nothing).
    std::size_t uncommitted = 0;
    bool abandoned = false;
    std::condition_variable resolved_cv;
    std::function<void()> wake;
    Committer committer{[this](std::size_t count) { resolved(count); }};
    NameKeys names_; // the worker's
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
    void resolved(std::size_t count)
    {
        std::lock_guard<std::mutex> lock(mutex);
        uncommitted -= std::min(uncommitted, count);
        resolved_cv.notify_all();
    }
    void end(CryptOutcome how, std::size_t at)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (abandoned)
            return;
        ended = true;
        outcome = how;
        file = at;
        resolved_cv.notify_all();
        if (wake)
            wake();
    }
    bool let_go()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return abandoned;
    }
    // Whatever ends the run, the files that reached their end are committed
    // first; the first of them that fails is the run's failure.
    void finish(CryptOutcome how, std::size_t at)
    {
        const std::size_t failed = committer.finish();
        if (failed != kNoFile)
            return end(CryptOutcome::OutFileNotWritten, failed);
        end(how, at);
    }
    CryptOutcome write(std::size_t i, const std::string &path, const std::string &out_name,
                       std::string_view key, mode_t umask, const TransformOptions &options);
    void work(const std::vector<std::string> &paths, std::string_view key,
              const TransformOptions &options);
};

// The transform of path i into out_name, handed to the committer when done.
CryptOutcome CryptRun::State::write(std::size_t i, const std::string &path,
                                    const std::string &out_name, std::string_view key,
                                    mode_t umask, const TransformOptions &options)
{
    std::optional<InputFile> input = OpenInputFile(path);
    if (!input) {
        // Perhaps out of descriptors: the outputs that wait hold some.
        committer.drain();
        input = OpenInputFile(path);
    }
    if (!input)
        return CryptOutcome::InFileNotFound;
    const std::uint64_t size = input->size;
    // The files before a large one take their names before it is written.
    if (size > kAloneBytes)
        committer.hurry();
    WriteHooks hooks;
    hooks.report = [this, i](const ProgressStep &step) { push({i, step}); };
    hooks.go_on = [this] { return !stopped && committer.failed() == kNoFile; };
    hooks.commit_earlier = [this] { return committer.drain() == kNoFile; };
    std::unique_ptr<PartnerOutput> output;
    const CryptOutcome outcome =
        WritePartner(std::move(*input), out_name, key, umask, options, hooks, &output);
    if (outcome == CryptOutcome::Done && !let_go())
        committer.hand({std::move(output), i, size, names_.of(out_name)});
    return outcome;
}

void CryptRun::State::work(const std::vector<std::string> &paths, std::string_view key,
                           const TransformOptions &options)
{
    committer.start(options.durable, OutputsThatMayWait(), options.committing);
    const mode_t umask = CurrentUmask();
    std::size_t i = 0;
    try {
        for (; i < paths.size(); ++i) {
            if (stopped || committer.failed() != kNoFile)
                return finish(CryptOutcome::Cancelled, i);
            // A path that reads or writes a name an output waiting for its
            // commit has yet to take (a file followed by its output, a path
            // listed twice) waits for it, as the files before it come first.
            const std::string out_name = MakeOutFileName(paths[i]);
            if (committer.names(names_.of(paths[i])) || committer.names(names_.of(out_name)))
                committer.drain();
            const CryptOutcome outcome = write(i, paths[i], out_name, key, umask, options);
            if (outcome != CryptOutcome::Done)
                return finish(outcome, i);
            if (let_go())
                return;
        }
        finish(CryptOutcome::Done, i);
    } catch (const std::exception &) {
        // Memory for a report or a name that cannot be had: the outputs
        // under way are discarded as they go.
        finish(CryptOutcome::OutFileNotWritten, i);
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
    state_->committer.hurry();
}

void CryptRun::wait_for_commits()
{
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->resolved_cv.wait(lock, [this] { return state_->ended || state_->uncommitted == 0; });
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
