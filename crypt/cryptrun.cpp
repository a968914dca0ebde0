// SPDX-License-Identifier: GPL-3.0-or-later
#include "committer.h"
#include "names.h"
#include "run.h"
#include "secret.h"
#include "transform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

// Where a name leads: its folder's identity and its last part, so that two
// spellings of one name match, and the same of every name a symbolic link
// on the way leads to, so that a link to a name an output is still to take
// matches that name, whether the name exists yet or not. Empty where the
// folder cannot be found. The last folder is remembered, as a list mostly
// names files side by side; and what the look at the name itself found, for
// the open that follows. A name the path before looked at a moment ago is
// not looked at again (a folder crypted again lists each file beside its
// partner: each name comes twice in a row), unless outputs may have taken
// names meanwhile (forget), or the name was one that a waiting output is to
// take (taken).
class NameKeys {
public:
    std::vector<std::string> of(const std::string &path)
    {
        const auto now = std::chrono::steady_clock::now();
        for (const Look &look : before_)
            if (look.name == path && now - look.when < kLookStands) {
                found_ = look.found;
                seen_ = look.seen;
                looks_.push_back(look);
                return look.keys;
            }
        std::vector<std::string> keys = look(path);
        looks_.push_back({path, keys, found_, seen_, now});
        return keys;
    }
    // What the last of() found under the path itself (no link followed),
    // and for a regular file, its stat.
    NameFound found() const { return found_; }
    const struct stat &seen() const { return seen_; }
    // The last name looked at is one an output waiting for its commit is to
    // take: the next path looks at it again.
    void taken()
    {
        if (!looks_.empty())
            looks_.pop_back();
    }
    // The looks of this path are all done: the next path may take them.
    void next_path()
    {
        before_ = std::move(looks_);
        looks_.clear();
    }
    // Outputs took names meanwhile: nothing looked at so far stands.
    void forget()
    {
        before_.clear();
        looks_.clear();
    }

private:
    // A look a moment ago stands for one now: the path before it was done
    // in less time than this.
    static constexpr std::chrono::milliseconds kLookStands{5};
    struct Look {
        std::string name;
        std::vector<std::string> keys;
        NameFound found;
        struct stat seen;
        std::chrono::steady_clock::time_point when;
    };

    std::vector<std::string> look(const std::string &path)
    {
        std::vector<std::string> keys;
        std::string name = path;
        found_ = NameFound::Unknown;
        // As many links as the kernel follows before it gives up (ELOOP).
        for (int hop = 0; hop < 40; ++hop) {
            const std::string key = key_of(name);
            if (key.empty() || std::find(keys.begin(), keys.end(), key) != keys.end())
                break;
            keys.push_back(key);
            struct stat st;
            const bool there = ::lstat(name.c_str(), &st) == 0;
            if (hop == 0) {
                found_ = there ? (S_ISREG(st.st_mode) ? NameFound::RegularFile : NameFound::Unknown)
                               : (errno == ENOENT ? NameFound::Nothing : NameFound::Unknown);
                seen_ = st;
            }
            if (!there || !S_ISLNK(st.st_mode))
                break;
            char target[4096];
            const ssize_t n = ::readlink(name.c_str(), target, sizeof target);
            if (n <= 0 || static_cast<std::size_t>(n) == sizeof target)
                break;
            std::string to(target, static_cast<std::size_t>(n));
            if (to.front() != '/')
                to = directory_of(name).append("/").append(to);
            name = std::move(to);
        }
        return keys;
    }

    std::string key_of(const std::string &path)
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

    std::string folder_, folder_id_;
    NameFound found_ = NameFound::Unknown;
    struct stat seen_ {};
    std::vector<Look> looks_, before_; // this path's, and the path's before
};

// One path of the run and its output's name.
struct Job {
    std::string path;
    std::string out_name;
};

// How long an end of the program waits for a stopped worker before it lets
// go of it (a read that a very slow disk keeps waiting).
constexpr std::chrono::milliseconds kWorkerEndWait(200);

} // namespace

// What the worker's look-ups found just before a path's transform: what is
// under its output name, and whether a regular file (no link) is at its path.
struct Looked {
    NameFound out_name = NameFound::Unknown;
    bool input_regular = false;
};

struct CryptRun::State {
    std::mutex mutex;
    std::vector<RunReport> reports;
    std::optional<RunEnd> ended;
    std::atomic<bool> stopped{false};
    // Guarded by mutex: files whose end was reported and that are neither
    // committed nor discarded yet, and whether the run was let go of (it
    // then reports nothing).
    std::size_t uncommitted = 0;
    bool abandoned = false;
    std::condition_variable resolved_cv;
    std::function<void()> wake;
    Committer committer{[this](std::size_t count) { resolved(count); }};
    NameKeys names_;      // the worker's
    FolderCache folders_; // the worker's
    std::thread worker;

    // wake is called with the lock held, so that none runs once abandoned.
    void push(std::size_t file, const ProgressStep *first, const ProgressStep *last)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (abandoned)
            return;
        const bool was_empty = reports.empty();
        for (const ProgressStep *step = first; step != last; ++step) {
            if (step->kind == ProgressStep::End)
                ++uncommitted;
            reports.push_back({file, *step});
        }
        if (was_empty && !reports.empty() && wake)
            wake();
    }
    void resolved(std::size_t count)
    {
        std::lock_guard<std::mutex> lock(mutex);
        uncommitted -= std::min(uncommitted, count);
        resolved_cv.notify_all();
    }
    void end(CryptOutcome how, std::size_t at, int why, std::string name)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (abandoned)
            return;
        ended = RunEnd{how, at, why, std::move(name)};
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
    // first; the first of them that fails is the run's failure. A failure
    // names the input for InFile..., the output name for OutFile....
    void finish(CryptOutcome how, std::size_t at, int why, const std::vector<Job> &jobs)
    {
        if (const std::optional<CommitFailure> failed = committer.finish()) {
            how = CryptOutcome::OutFileNotWritten;
            at = failed->file;
            why = failed->error;
        }
        if (how == CryptOutcome::Done || how == CryptOutcome::Cancelled)
            return end(how, at, 0, {});
        std::string name;
        try {
            if (at < jobs.size())
                name = how == CryptOutcome::OutFileNotWritten ? jobs[at].out_name : jobs[at].path;
        } catch (const std::bad_alloc &) {
            // Without memory for the name the run still ends, without it.
        }
        end(how, at, why, std::move(name));
    }
    void stop()
    {
        stopped = true;
        committer.hurry();
    }
    // Commits everything handed over (NameKeys: the names taken meanwhile
    // are looked at again); the first that failed, if any.
    std::optional<std::size_t> drain()
    {
        names_.forget();
        return committer.drain();
    }
    std::optional<InputFile> waiting_input(const std::string &path,
                                           const std::vector<std::string> &names,
                                           const struct stat *regular);
    WrittenPartner write(std::size_t i, const Job &job, std::optional<InputFile> input,
                         std::vector<std::string> out_names, std::string_view key, mode_t umask,
                         const TransformOptions &options, const Looked &looked);
    void work(std::vector<Job> &jobs, std::string_view key, const TransformOptions &options);
};

// A path that leads to a name an output waiting for its commit is to take (a
// file followed by its partner, a link to a name still to be taken) reads
// that output's complete bytes: what the path gives once the outputs before
// it are committed, as they are in list order, before its own output. What
// the path leads to now, and that it may be read, is known first: for a
// regular file just looked at (regular: its stat), from that look and the
// kernel's answer whether it may be read, else by opening it. Where that
// cannot be known, it waits for the commits and is read itself; nothing then.
std::optional<InputFile> CryptRun::State::waiting_input(const std::string &path,
                                                        const std::vector<std::string> &names,
                                                        const struct stat *regular)
{
    std::optional<InputFile> now;
    if (!regular)
        now = OpenInputFile(path);
    else if (::faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) == 0)
        now = InputFile{UniqueFd(), static_cast<std::uint64_t>(regular->st_size),
                        static_cast<std::uint64_t>(regular->st_dev),
                        static_cast<std::uint64_t>(regular->st_ino),
                        static_cast<unsigned>(regular->st_mode & 07777)};
    const int error = now ? 0 : errno;
    if (std::optional<InputFile> bytes = committer.waiting_bytes(names, now, error))
        return bytes;
    now.reset();
    drain();
    return std::nullopt;
}

// The transform of path i (or of the given input) into out_name, handed to
// the committer when done.
WrittenPartner CryptRun::State::write(std::size_t i, const Job &job, std::optional<InputFile> input,
                                      std::vector<std::string> out_names, std::string_view key,
                                      mode_t umask, const TransformOptions &options,
                                      const Looked &looked)
{
    if (!input)
        input = OpenInputFile(job.path, looked.input_regular);
    if (!input) {
        // Perhaps out of descriptors: the outputs that wait hold some.
        drain();
        input = OpenInputFile(job.path);
    }
    if (!input)
        return {CryptOutcome::InFileNotFound, errno, nullptr};
    const std::uint64_t size = input->size;
    // The files before a large one take their names before it is written.
    if (size > kAloneBytes)
        committer.hurry();
    WriteHooks hooks;
    hooks.report = [this, i](const ProgressStep *first, const ProgressStep *last) {
        push(i, first, last);
    };
    hooks.go_on = [this] { return !stopped && !committer.failed(); };
    hooks.commit_earlier = [this] { return !drain(); };
    hooks.out_name = looked.out_name;
    hooks.folders = &folders_;
    WrittenPartner written =
        WritePartner(std::move(*input), job.out_name, key, umask, options, hooks);
    if (written.outcome == CryptOutcome::Done && !let_go())
        committer.hand({std::move(written.output), i, size, std::move(out_names)});
    return written;
}

void CryptRun::State::work(std::vector<Job> &jobs, std::string_view key,
                           const TransformOptions &options)
{
    // Outputs that wait for their commit hold descriptors: the open-file
    // limit is raised as far as they need, and as many wait as it allows. A
    // single path has nothing after it to wait for.
    committer.start(options.durable, jobs.size() > 1 ? RaiseOpenFileLimit() : 1,
                    options.committing);
    const mode_t umask = CurrentUmask();
    std::size_t i = 0;
    try {
        for (; i < jobs.size(); ++i) {
            if (stopped || committer.failed())
                return finish(CryptOutcome::Cancelled, i, 0, jobs);
            // A path that writes a name an output waiting for its commit has
            // yet to take (a path listed twice) waits for it, as the files
            // before it come first; one that reads such a name reads that
            // output's bytes, or waits as well.
            std::vector<std::string> out_names = names_.of(jobs[i].out_name);
            Looked looked;
            looked.out_name = names_.found();
            std::optional<InputFile> input;
            if (committer.names(out_names)) {
                drain();
                looked.out_name = NameFound::Unknown; // the names just taken
            } else if (!jobs[i].path.empty()) {
                const std::vector<std::string> in_names = names_.of(jobs[i].path);
                looked.input_regular = names_.found() == NameFound::RegularFile;
                if (committer.names(in_names)) {
                    names_.taken();
                    input = waiting_input(jobs[i].path, in_names,
                                          looked.input_regular ? &names_.seen() : nullptr);
                    if (!input) // read after the commits instead: look again
                        looked = Looked{};
                }
            }
            const WrittenPartner written = write(i, jobs[i], std::move(input), std::move(out_names),
                                                 key, umask, options, looked);
            if (written.outcome != CryptOutcome::Done)
                return finish(written.outcome, i, written.error, jobs);
            if (let_go())
                return;
            names_.next_path();
        }
        finish(CryptOutcome::Done, i, 0, jobs);
    } catch (const std::exception &) {
        // Memory for a report or a name that cannot be had: the outputs
        // under way are discarded as they go.
        finish(CryptOutcome::OutFileNotWritten, i, ENOMEM, jobs);
    }
}

CryptRun::CryptRun(std::vector<std::string> paths, std::string_view key, std::function<void()> wake,
                   TransformOptions options)
    : state_(std::make_shared<State>())
{
    state_->wake = std::move(wake);
    struct Work {
        std::vector<Job> jobs;
        SecretBytes key;
        TransformOptions options;
    };
    // Shared, so that it is still here should the thread not start.
    auto work = std::make_shared<Work>(Work{{}, SecretBytes(key), std::move(options)});
    work->jobs.reserve(paths.size());
    for (std::string &path : paths) {
        std::string out_name = MakeOutFileName(path);
        work->jobs.push_back({std::move(path), std::move(out_name)});
    }
    auto run = [state = state_, work] { state->work(work->jobs, work->key.view(), work->options); };
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
    state_->stop();
}

void CryptRun::wait_for_commits()
{
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->resolved_cv.wait(
        lock, [this] { return state_->ended.has_value() || state_->uncommitted == 0; });
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
    let_go();
    return true;
}

void CryptRun::let_go()
{
    // Nothing waits for its commit: the committing thread ends now, and the
    // worker, which hands over nothing more, ends whenever its disk lets it.
    state_->committer.finish();
    state_->worker.detach();
}

void CryptRun::end_for_exit()
{
    stop();
    wait_for_commits();
    bool ended;
    {
        std::unique_lock<std::mutex> lock(state_->mutex);
        // The worker notices the stop within a block or a piece of a wait.
        state_->resolved_cv.wait_for(lock, kWorkerEndWait,
                                     [this] { return state_->ended.has_value(); });
        ended = state_->ended.has_value();
        if (!ended)
            state_->abandoned = true;
    }
    if (!state_->worker.joinable())
        return;
    if (ended)
        state_->worker.join();
    else
        let_go();
}

RunTaken CryptRun::take()
{
    RunTaken taken;
    std::lock_guard<std::mutex> lock(state_->mutex);
    taken.reports.swap(state_->reports);
    taken.end = state_->ended;
    return taken;
}
