// SPDX-License-Identifier: GPL-3.0-or-later
#include "exitcleanup.h"
#include "crypt.h"

#include <algorithm>
#include <csignal>
#include <unistd.h>
#include <vector>

namespace {

std::mutex gwriting;

// The named temporary files under way, for an exit handler on another thread.
std::mutex gtemporaries_mutex;
std::vector<std::string> gtemporaries;

} // namespace

WritingLock::WritingLock()
{
    gwriting.lock();
}

WritingLock::~WritingLock()
{
    gwriting.unlock();
}

void RegisterTemporary(const std::string &path)
{
    std::lock_guard<std::mutex> lock(gtemporaries_mutex);
    gtemporaries.push_back(path);
}

void ForgetTemporary(const std::string &path)
{
    std::lock_guard<std::mutex> lock(gtemporaries_mutex);
    gtemporaries.erase(std::remove(gtemporaries.begin(), gtemporaries.end(), path),
                       gtemporaries.end());
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
    copy = gtemporaries.empty() ? std::string() : gtemporaries.front();
    return copy.empty() ? nullptr : copy.c_str();
}

void EndWritingForExit()
{
    gwriting.lock();
    std::lock_guard<std::mutex> lock(gtemporaries_mutex);
    for (const std::string &path : gtemporaries)
        ::unlink(path.c_str());
    gtemporaries.clear();
}
