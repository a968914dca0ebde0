// SPDX-License-Identifier: GPL-3.0-or-later
#include "committer.h"

#include "exitcleanup.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <sys/resource.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace {

// Files that come slowly are committed kGroupTime after the first of them
// ended; otherwise a group is whatever waits when the committing thread is
// free, so that a file waits for the commit under way and its own, whatever a
// flush of its disk costs.
constexpr std::chrono::milliseconds kGroupTime(200);
// At most this many outputs wait for their commit, where the descriptors
// allow as many.
constexpr std::size_t kMostWaiting = 8000;
// Descriptors left for the worker's own input and output, and whatever else
// the process opens meanwhile.
constexpr rlim_t kSpareDescriptors = 32;

using Group = std::vector<CompleteOutput>;

std::size_t open_descriptors()
{
    std::error_code error;
    std::size_t count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
         it.increment(error))
        ++count;
    return error || count == 0 ? 64 : count;
}

// One flush of each file system for a part of a group: fs[i] is the file
// system of its output i where one flush of it covers it, or -1.
struct FileSystems {
    std::vector<int> fs;
    std::vector<int> any_file; // a descriptor on each of them, the first output's there
    std::vector<bool> tells;   // whether the flush of each tells of errors

    FileSystems(const std::vector<PartnerOutput *> &outputs, bool durable) : fs(outputs.size(), -1)
    {
        if (!durable || outputs.size() < 2)
            return;
        std::map<dev_t, int> known;
        for (std::size_t i = 0; i < outputs.size(); ++i) {
            const int file = outputs[i]->flush_with();
            dev_t device;
            if (file < 0 || !outputs[i]->device(&device))
                continue;
            const auto [it, fresh] = known.try_emplace(device, int(any_file.size()));
            if (fresh) {
                // Outputs are opened in list order: the first one's descriptor
                // is older than any other's writes.
                any_file.push_back(file);
                tells.push_back(outputs[i]->flush_tells_errors());
            }
            fs[i] = it->second;
        }
    }
    // Whether output i's file system was flushed and the flush told of any
    // error of its writes: there was none.
    bool heard(std::size_t i, const std::vector<bool> &covered) const
    {
        return covered[i] && tells[fs[i]];
    }
    // Flushes each; whether output i's file system was flushed.
    std::vector<bool> flush() const
    {
        std::vector<bool> ok(any_file.size());
        for (std::size_t f = 0; f < any_file.size(); ++f) {
            const WritingLock writing;
            ok[f] = ::syncfs(any_file[f]) == 0;
        }
        std::vector<bool> covered(fs.size());
        for (std::size_t i = 0; i < fs.size(); ++i)
            covered[i] = fs[i] >= 0 && ok[fs[i]];
        return covered;
    }
};

// Runs step over the first *good outputs, in order; the first that fails
// ends *good there.
template <typename Step> void up_to_failure(std::size_t *good, Step step)
{
    for (std::size_t i = 0; i < *good; ++i)
        if (!step(i)) {
            *good = i;
            return;
        }
}

// Commits outputs [from, to) of a group, none of which writes into an
// earlier file at its commit but perhaps the first, each step of theirs
// over all of them before the next, with one flush of each file system
// between the steps. Nothing when all are done, else the first that failed;
// those before it keep their names.
std::optional<CommitFailure> commit_together(const Group &group, std::size_t from, std::size_t to,
                                             bool durable)
{
    std::vector<PartnerOutput *> outputs;
    for (std::size_t i = from; i < to; ++i)
        outputs.push_back(group[i].output.get());
    // A step's errno is saved as it fails: the flushes after it clobber it.
    int error = 0;
    auto saving_errno = [&error](bool done) {
        if (!done)
            error = errno;
        return done;
    };
    std::size_t good = outputs.size();
    up_to_failure(&good, [&](std::size_t i) { return saving_errno(outputs[i]->commit_data()); });
    outputs.resize(good);
    const FileSystems file_systems(outputs, durable);
    const std::vector<bool> data_flushed = file_systems.flush();
    up_to_failure(&good, [&](std::size_t i) {
        return saving_errno(
            outputs[i]->commit_name(data_flushed[i], file_systems.heard(i, data_flushed)));
    });
    const std::vector<bool> names_flushed = file_systems.flush();
    PartnerOutput::FolderFlushes folders;
    std::optional<CommitFailure> failed;
    for (std::size_t i = 0; i < good; ++i) {
        // Once one fails, the new names after it are taken back.
        if (!outputs[i]->commit_end(names_flushed[i], !failed, folders) && !failed)
            failed = CommitFailure{group[from + i].file, errno};
    }
    if (!failed && from + good < to)
        failed = CommitFailure{group[from + good].file, error};
    return failed;
}

// Commits a group in list order. An output that writes into its earlier file
// at its commit cannot be undone: everything before it is committed first,
// and it is touched only if that succeeded.
std::optional<CommitFailure> commit_group(const Group &group, bool durable)
{
    std::size_t from = 0;
    while (from < group.size()) {
        std::size_t to = from + 1;
        while (to < group.size() && !group[to].output->overwrites_earlier_file())
            ++to;
        if (std::optional<CommitFailure> failed = commit_together(group, from, to, durable))
            return failed;
        from = to;
    }
    return std::nullopt;
}

} // namespace

std::size_t RaiseOpenFileLimit()
{
    const rlim_t open = open_descriptors();
    struct rlimit files;
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0)
        return 1;
    const rlim_t wanted = 3 * kMostWaiting + open + kSpareDescriptors;
    if (files.rlim_cur != RLIM_INFINITY && files.rlim_cur < wanted &&
        files.rlim_max > files.rlim_cur) {
        files.rlim_cur = std::min(files.rlim_max, wanted);
        ::setrlimit(RLIMIT_NOFILE, &files);
        ::getrlimit(RLIMIT_NOFILE, &files);
    }
    const rlim_t limit = std::min<rlim_t>(files.rlim_cur, wanted);
    const rlim_t used = open + kSpareDescriptors;
    return static_cast<std::size_t>(
        std::clamp<rlim_t>(limit > used ? (limit - used) / 3 : 0, 1, kMostWaiting));
}

void Committer::start(bool durable, std::size_t may_wait,
                      std::function<void(std::size_t first)> committing)
{
    durable_ = durable;
    committing_ = std::move(committing);
    may_wait_ = std::max<std::size_t>(1, may_wait);
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error &) {
        no_thread_ = true;
    }
}

void Committer::hand(CompleteOutput complete)
{
    complete.ended = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    if (held_ >= may_wait_) {
        ++waiting_for_room_;
        work_cv_.notify_one();
        done_cv_.wait(lock, [this] { return held_ < may_wait_; });
        --waiting_for_room_;
    }
    ++held_;
    names_.insert(complete.names.begin(), complete.names.end());
    for (const std::string &name : complete.names)
        waiting_.emplace(name, complete.output.get());
    const bool large = complete.size > kAloneBytes;
    large_queued_ += large;
    // The committing thread is woken only where this output changes what it
    // waits for: the first one starts the group's time, a large one or the
    // one that makes enough for a group makes it due; otherwise it looks again
    // when that time is up or its commit ends.
    const bool was_enough = enough_for_group();
    const bool news = queue_.empty() || large;
    queue_.push_back(std::move(complete));
    if (news || (!was_enough && enough_for_group()))
        work_cv_.notify_one();
    lock.unlock();
    if (no_thread_)
        run(); // no thread to be had: the same commits, here and now
}

std::optional<std::size_t> Committer::drain()
{
    std::unique_lock<std::mutex> lock(mutex_);
    ++drains_;
    work_cv_.notify_one();
    done_cv_.wait(lock, [this] { return held_ == 0; });
    --drains_;
    return failed_ ? std::optional(failed_->file) : std::nullopt;
}

void Committer::hurry()
{
    std::lock_guard<std::mutex> lock(mutex_);
    hurry_ = true;
    work_cv_.notify_one();
}

bool Committer::names(const std::vector<std::string> &names)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(names.begin(), names.end(),
                       [this](const std::string &name) { return names_.count(name) > 0; });
}

std::optional<InputFile> Committer::waiting_bytes(const std::vector<std::string> &names,
                                                  const std::optional<InputFile> &at_name,
                                                  int error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_)
        return std::nullopt;
    const PartnerOutput *taker = nullptr;
    for (const std::string &name : names) {
        // Every output held under this name must be the one waiting for it.
        const auto [first, last] = waiting_.equal_range(name);
        if (static_cast<std::size_t>(std::distance(first, last)) != names_.count(name))
            return std::nullopt;
        for (auto it = first; it != last; ++it) {
            if (taker && taker != it->second)
                return std::nullopt;
            taker = it->second;
        }
    }
    return taker ? taker->reopen_for_reading(at_name, error) : std::nullopt;
}

std::optional<std::size_t> Committer::failed()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_ ? std::optional(failed_->file) : std::nullopt;
}

std::optional<CommitFailure> Committer::finish()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
        work_cv_.notify_one();
    }
    // Once, should the worker and the window's thread both end it.
    std::call_once(joined_, [this] {
        if (thread_.joinable())
            thread_.join();
    });
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
}

// Whether what waits is committed now rather than later; mutex_ held.
bool Committer::due() const
{
    return quit_ || no_thread_ || hurry_ || drains_ > 0 || waiting_for_room_ > 0 ||
           large_queued_ > 0 || enough_for_group() ||
           std::chrono::steady_clock::now() >= queue_.front().ended + kGroupTime;
}

// The next group: a large output alone, else every small one before the
// next large one; mutex_ held. Unless everything is asked for now (a drain,
// a stop, the end), the newest output waits for the next group: the path
// after it is the one most likely to read it (a folder crypted again lists
// each file just before its partner), which it can while the output waits,
// but not while it is committed.
Group Committer::take_group()
{
    const std::size_t left = quit_ || no_thread_ || hurry_ || drains_ > 0 ? 0 : 1;
    Group group;
    while (queue_.size() > left || (group.empty() && !queue_.empty())) {
        const bool large = queue_.front().size > kAloneBytes;
        if (large && !group.empty())
            break;
        large_queued_ -= large;
        for (const std::string &name : queue_.front().names) {
            const auto [first, last] = waiting_.equal_range(name);
            const auto it = std::find_if(first, last, [this](const auto &entry) {
                return entry.second == queue_.front().output.get();
            });
            if (it != last)
                waiting_.erase(it);
        }
        group.push_back(std::move(queue_.front()));
        queue_.pop_front();
        if (large)
            break;
    }
    if (queue_.empty())
        hurry_ = false;
    return group;
}

// Commits a group (unless an earlier one failed: then it is discarded) and
// lets the outputs go before they are counted, so that their descriptors
// and temporary files are gone by then.
void Committer::commit(Group group)
{
    const std::size_t count = group.size();
    std::optional<CommitFailure> failed;
    if (!this->failed()) {
        if (committing_)
            committing_(group.front().file);
        try {
            failed = commit_group(group, durable_);
        } catch (const std::exception &) {
            failed = CommitFailure{group.front().file, ENOMEM}; // memory that cannot be had
        }
    }
    std::vector<std::string> names;
    for (CompleteOutput &complete : group)
        for (std::string &name : complete.names)
            names.push_back(std::move(name));
    group.clear();
    resolved_(count);

    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string &name : names)
        names_.erase(names_.find(name));
    held_ -= std::min(held_, count);
    if (!failed_)
        failed_ = failed;
    done_cv_.notify_all();
}

// Commits each group as it is due, until told to quit; where no thread could
// be had, on the caller, everything queued at once.
void Committer::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_cv_.wait(lock, [this] { return quit_ || no_thread_ || !queue_.empty(); });
        if (queue_.empty())
            return;
        while (!due())
            work_cv_.wait_until(lock, queue_.front().ended + kGroupTime);
        Group group = take_group();
        lock.unlock();
        commit(std::move(group));
        lock.lock();
    }
}
