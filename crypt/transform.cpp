#include "crypt.h"
#include "blockreader.h"
#include "output.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <optional>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

// How often the calling thread comes back to tick while it waits.
constexpr std::chrono::milliseconds kTickPeriod(25);
// How long the writer waits for a block before it looks whether to stop.
constexpr std::chrono::milliseconds kWriterPoll(20);

constexpr double kMilestones[] = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9};

// The per-byte loop's fraction after byte n of a file of the given size.
double fraction_at(std::uint64_t n, std::uint64_t size)
{
    return static_cast<double>(n) / static_cast<double>(size + 1);
}

// The writer's side of a run: what it asks of whoever drives it.
struct Driver {
    // Hands a progress step over and waits for its answer; false stops.
    std::function<bool(const ProgressStep &)> step;
    // Whether the run still goes on; asked between blocks and disk waits.
    std::function<bool()> go_on;
    // How long to wait for a block before asking go_on.
    std::chrono::milliseconds poll;
};

// One file's bytes from the reader into the output, the progress steps at
// their offsets, End; Done when the output is ready for its commit. The
// reader is dropped (its thread joined) and the input closed before End.
CryptOutcome pump(std::optional<XorBlockReader> &reader, InputFile &input, PartnerOutput &output,
                  const std::vector<ProgressStep> &schedule, const Driver &driver)
{
    // A write or commit that fails because the run stopped is a cancel.
    auto failed = [&driver] {
        return driver.go_on() ? CryptOutcome::OutFileNotWritten : CryptOutcome::Cancelled;
    };
    int milestones = 0;
    std::uint64_t written = 0;
    std::size_t next_step = 0;
    for (;;) {
        const char *data = nullptr;
        std::size_t got = 0;
        const XorBlockReader::Status status = reader->next(driver.poll, &data, &got);
        if (status == XorBlockReader::Status::Pending) {
            if (!driver.go_on())
                return CryptOutcome::Cancelled;
            continue;
        }
        if (status == XorBlockReader::Status::Error)
            return CryptOutcome::InFileNotReadable;
        if (status == XorBlockReader::Status::End)
            break;
        // More bytes than at open: the input changed under the run.
        if (got > input.size - written)
            return CryptOutcome::InFileNotReadable;
        std::size_t pos = 0;
        while (pos < got) {
            // Stop where the next milestone is due: the per-byte loop sets the
            // bar after reading that byte and before writing it.
            std::size_t end = got;
            if (next_step < schedule.size()) {
                const std::uint64_t due = schedule[next_step].byte - 1;
                if (due < written + (got - pos))
                    end = pos + static_cast<std::size_t>(due - written);
            }
            if (!output.write(data + pos, end - pos))
                return failed();
            written += end - pos;
            pos = end;
            if (pos < got && next_step < schedule.size() &&
                written == schedule[next_step].byte - 1) {
                milestones = schedule[next_step].milestones;
                if (!driver.step(schedule[next_step++]))
                    return CryptOutcome::Cancelled;
            }
        }
        if (!driver.go_on())
            return CryptOutcome::Cancelled;
    }

    reader.reset();
    // The reader runs ahead of the writes: a change after the last read but
    // during the run shows in the size.
    struct stat now;
    if (written != input.size || ::fstat(input.fd.get(), &now) != 0 ||
        static_cast<std::uint64_t>(now.st_size) != input.size)
        return CryptOutcome::InFileNotReadable;
    input.fd.reset();
    if (!driver.step({ProgressStep::End, written, 1.0, milestones}))
        return CryptOutcome::Cancelled;
    return CryptOutcome::Done;
}

// Makes the output durable and gives it its name.
CryptOutcome commit(PartnerOutput &output, const Driver &driver)
{
    if (!output.commit())
        return driver.go_on() ? CryptOutcome::OutFileNotWritten : CryptOutcome::Cancelled;
    return CryptOutcome::Done;
}

// The calling thread's side of a run whose writing goes on a thread of its
// own: the writer posts progress steps and waits for their answers; the
// calling thread answers them, ticks in between and never waits on the disk.
class WriterThread {
public:
    WriterThread() = default;
    WriterThread(const WriterThread &) = delete;
    WriterThread &operator=(const WriterThread &) = delete;
    // Whatever way out the caller takes, the writer stops and is joined.
    ~WriterThread()
    {
        if (thread_.joinable()) {
            stop();
            thread_.join();
        }
    }

    // False when no thread can be started.
    bool start(std::function<CryptOutcome(const Driver &)> work)
    {
        try {
            thread_ = std::thread([this, work = std::move(work)] {
                CryptOutcome outcome = CryptOutcome::OutFileNotWritten;
                std::exception_ptr error;
                try {
                    outcome = work(driver());
                } catch (...) {
                    error = std::current_exception();
                }
                std::lock_guard<std::mutex> lock(mutex_);
                outcome_ = outcome;
                error_ = error;
                finished_ = true;
                to_caller_.notify_one();
            });
        } catch (const std::system_error &) {
            return false;
        }
        return true;
    }

    // Answers the writer's steps with progress and calls tick at least every
    // kTickPeriod until the writer has finished; its outcome.
    CryptOutcome serve(const std::function<bool(const ProgressStep &)> &progress,
                       const std::function<bool()> &tick)
    {
        auto last_drain = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            to_caller_.wait_until(lock, last_drain + kTickPeriod,
                                  [this] { return posted_ || finished_; });
            if (posted_) {
                const ProgressStep step = step_;
                const bool stopped = stopped_;
                lock.unlock();
                const bool go_on = !stopped && progress(step);
                last_drain = std::chrono::steady_clock::now();
                lock.lock();
                posted_ = false;
                stopped_ = stopped_ || !go_on;
                to_writer_.notify_one();
                continue;
            }
            if (finished_)
                break;
            lock.unlock();
            last_drain = std::chrono::steady_clock::now();
            const bool go_on = !tick || tick();
            lock.lock();
            if (!go_on) {
                stopped_ = true;
                to_writer_.notify_one();
            }
        }
        lock.unlock();
        thread_.join();
        if (error_)
            std::rethrow_exception(error_);
        return outcome_;
    }

private:
    Driver driver()
    {
        return {[this](const ProgressStep &step) {
                    std::unique_lock<std::mutex> lock(mutex_);
                    step_ = step;
                    posted_ = true;
                    to_caller_.notify_one();
                    to_writer_.wait(lock, [this] { return !posted_ || stopped_; });
                    return !stopped_;
                },
                [this] {
                    std::lock_guard<std::mutex> lock(mutex_);
                    return !stopped_;
                },
                kWriterPoll};
    }

    void stop()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        to_writer_.notify_one();
    }

    std::mutex mutex_;
    std::condition_variable to_caller_, to_writer_;
    // Guarded by mutex_:
    ProgressStep step_{};
    bool posted_ = false;   // step_ waits for its answer
    bool stopped_ = false;  // the run is cancelled
    bool finished_ = false; // the writer is done; outcome_ and error_ hold
    CryptOutcome outcome_ = CryptOutcome::OutFileNotWritten;
    std::exception_ptr error_;
    std::thread thread_;
};

} // namespace

std::optional<InputFile> OpenInputFile(const std::string &path)
{
    // Looking first keeps a FIFO from being opened at all; O_NONBLOCK keeps
    // the open from blocking should the path change in between.
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return InputFile{std::move(fd), static_cast<std::uint64_t>(st.st_size),
                     static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                     static_cast<unsigned>(st.st_mode & 07777)};
}

std::vector<ProgressStep> ProgressSchedule(std::uint64_t size)
{
    std::vector<ProgressStep> steps;
    int passed = 0;
    for (double milestone : kMilestones) {
        ++passed;
        // The first byte n whose fraction passes the milestone; byte size + 1
        // (fraction 1.0) always does, for a file that grew while read.
        std::uint64_t lo = 1, hi = size + 1;
        while (lo < hi) {
            const std::uint64_t mid = lo + (hi - lo) / 2;
            if (fraction_at(mid, size) > milestone)
                hi = mid;
            else
                lo = mid + 1;
        }
        if (!steps.empty() && steps.back().byte == lo)
            steps.back().milestones = passed;
        else
            steps.push_back({ProgressStep::Milestone, lo, fraction_at(lo, size), passed});
    }
    return steps;
}

std::string CryptOutcomeMessage(CryptOutcome outcome)
{
    switch (outcome) {
    case CryptOutcome::InFileNotFound: return "InFile not found";
    case CryptOutcome::InFileNotReadable: return "InFile not readable";
    case CryptOutcome::OutFileNotWritten: return "OutFile not written";
    case CryptOutcome::Done:
    case CryptOutcome::Cancelled: break;
    }
    return {};
}

namespace {

CryptOutcome transform_file(InputFile input, const std::string &out_name, std::string_view key,
                            const ProgressFn &report, const TransformOptions &options)
{
    auto progress = [&report](const ProgressStep &step) { return !report || report(step); };
    const std::vector<ProgressStep> schedule = ProgressSchedule(input.size);

    // A file of one block is read and written on the calling thread (a read
    // of 256 KiB is short even from a slow disk): the threads' hand-overs at
    // every mark would cost more than the whole transform. Its commit, which
    // waits on the disk, still runs on a thread.
    const bool one_block = input.size <= XorBlockReader::kBlockSize;
    // The reader's memory comes first: where it cannot be had, no output has
    // been touched. It reads ahead while the output is made and the bar shown.
    // Both are dropped by whoever runs the work, so that joining the reader
    // and discarding a large output never hold up the calling thread.
    std::optional<XorBlockReader> reader(std::in_place, input.fd.get(), key,
                                         options.threads && !one_block, options.read);
    std::optional<PartnerOutput> output(std::in_place);
    if (!output->open(out_name, {input.device, input.inode, static_cast<mode_t>(input.mode)},
                      CurrentUmask(), options.durable))
        return CryptOutcome::OutFileNotWritten;
    if (!one_block)
        output->expect(input.size);
    if (!progress({ProgressStep::Start, 0, 0.0, 0}))
        return CryptOutcome::Cancelled;

    // Everything from reading to the commit, or the commit alone.
    auto work = [&](const Driver &driver, bool whole) {
        output->watch(driver.go_on);
        CryptOutcome outcome = whole ? pump(reader, input, *output, schedule, driver)
                                     : CryptOutcome::Done;
        if (outcome == CryptOutcome::Done)
            outcome = commit(*output, driver);
        reader.reset();
        output.reset();
        return outcome;
    };
    // On the calling thread: ticks between blocks and disk waits.
    auto last_tick = std::chrono::steady_clock::now();
    bool cancelled = false;
    auto go_on = [&] {
        const auto now = std::chrono::steady_clock::now();
        if (!cancelled && options.tick && now - last_tick >= kTickPeriod) {
            last_tick = now;
            cancelled = !options.tick();
        }
        return !cancelled;
    };
    auto step = [&](const ProgressStep &s) {
        last_tick = std::chrono::steady_clock::now();
        return progress(s);
    };
    const Driver inline_driver{step, go_on, kTickPeriod};
    WriterThread writer;
    if (options.threads && !one_block &&
        writer.start([&](const Driver &driver) { return work(driver, true); }))
        return writer.serve(progress, options.tick);
    if (!options.threads)
        return work(inline_driver, true);

    const CryptOutcome outcome = pump(reader, input, *output, schedule, inline_driver);
    if (outcome != CryptOutcome::Done)
        return outcome;
    if (writer.start([&](const Driver &driver) { return work(driver, false); }))
        return writer.serve(progress, options.tick);
    return work(inline_driver, false);
}

} // namespace

CryptOutcome TransformFile(InputFile input, const std::string &out_name, std::string_view key,
                           const ProgressFn &report, const TransformOptions &options)
{
    // Memory that cannot be had stops the file like any other failure of its
    // output; whatever was made of the output is discarded on the way out.
    try {
        return transform_file(std::move(input), out_name, key, report, options);
    } catch (const std::bad_alloc &) {
        return CryptOutcome::OutFileNotWritten;
    }
}
