// SPDX-License-Identifier: GPL-3.0-or-later
#include "exitcleanup.h"

#include <atomic>
#include <csignal>
#include <shared_mutex>
#include <unistd.h>
#include <unordered_set>

namespace {

// Shared by every write, flush, link, rename and close, so that the worker
// and the committing thread never wait for each other; held alone, for good,
// by the exit-time clean-up.
std::shared_mutex gwriting;
// Held for good by the clean-up from before it says it is under way.
std::mutex gexit;
std::atomic<bool> gexiting{false};

// The named temporary files under way, for an exit handler on another thread;
// a commit names and forgets thousands in a group, each found by its hash.
std::mutex gtemporaries_mutex;
std::unordered_multiset<std::string> gtemporaries;

} // namespace

WritingLock::WritingLock()
{
    // Once the clean-up is under way, nothing new starts: this waits for
    // good, as the clean-up never lets go.
    if (gexiting)
        gexit.lock();
    gwriting.lock_shared();
}

WritingLock::~WritingLock()
{
    gwriting.unlock_shared();
}

void RegisterTemporary(const std::string &path)
{
    std::lock_guard<std::mutex> lock(gtemporaries_mutex);
    gtemporaries.insert(path);
}

void ForgetTemporary(const std::string &path)
{
    std::lock_guard<std::mutex> lock(gtemporaries_mutex);
    if (const auto it = gtemporaries.find(path); it != gtemporaries.end())
        gtemporaries.erase(it);
}

void WriteErrorsNotSignals()
{
    static std::once_flag once;
    std::call_once(once, [] { std::signal(SIGXFSZ, SIG_IGN); });
}

const char *CurrentTemporaryFile()
{
    // A copy of the caller's own, so that the writer thread cannot change it
    // under the caller.
    thread_local std::string copy;
    std::lock_guard<std::mutex> lock(gtemporaries_mutex);
    copy = gtemporaries.empty() ? std::string() : *gtemporaries.begin();
    return copy.empty() ? nullptr : copy.c_str();
}

void EndWritingForExit()
{
    // Once, however many exit paths meet (a let-go run, a lost display, a
    // signal), and on whichever thread; a second caller waits for the first.
    static std::once_flag once;
    std::call_once(once, [] {
        gexit.lock();
        gexiting = true;
        gwriting.lock();
        std::lock_guard<std::mutex> lock(gtemporaries_mutex);
        for (const std::string &path : gtemporaries)
            ::unlink(path.c_str());
        gtemporaries.clear();
    });
}
