// SPDX-License-Identifier: GPL-3.0-or-later
// A crypt run followed to its end as the window follows one: woken by the
// worker, it takes what was reported. For the core's tests and the benchmark.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "crypt/run.h"

struct RunResult : RunEnd {
    std::vector<RunReport> reports;
};

// Runs paths to the end; on_report, told each step as it is taken, may stop
// the run.
inline RunResult
RunToEnd(const std::vector<std::string> &paths, std::string_view key,
         const TransformOptions &options = {},
         const std::function<void(CryptRun &, const RunReport &)> &on_report = nullptr)
{
    std::mutex mutex;
    std::condition_variable woken;
    bool wake = false;
    RunResult result;
    CryptRun run(
        paths, key,
        [&] {
            std::lock_guard<std::mutex> lock(mutex);
            wake = true;
            woken.notify_one();
        },
        options);
    for (;;) {
        RunTaken taken = run.take();
        for (const RunReport &report : taken.reports) {
            result.reports.push_back(report);
            if (on_report)
                on_report(run, report);
        }
        if (taken.end) {
            static_cast<RunEnd &>(result) = std::move(*taken.end);
            return result;
        }
        std::unique_lock<std::mutex> lock(mutex);
        woken.wait_for(lock, std::chrono::milliseconds(100), [&] { return wake; });
        wake = false;
    }
}
