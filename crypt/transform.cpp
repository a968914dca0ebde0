// SPDX-License-Identifier: GPL-3.0-or-later
#include "transform.h"
#include "blockreader.h"
#include "run.h"

#include <cerrno>
#include <new>
#include <sys/stat.h>

namespace {

// How long the transform waits for a block before it looks whether to stop.
constexpr std::chrono::milliseconds kPoll(20);

constexpr double kMilestones[] = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9};

// The per-byte loop's fraction after byte n of a file of the given size.
double fraction_at(std::uint64_t n, std::uint64_t size)
{
    return static_cast<double>(n) / static_cast<double>(size + 1);
}

// The bytes from the reader into the output, each progress step reported
// where the per-byte loop sets the bar: after reading its byte and before
// writing it. Done when every byte is written; milestones is the count the
// last step passed.
WrittenPartner pump(XorBlockReader &reader, const InputFile &input, PartnerOutput &output,
                    const WriteHooks &hooks, int &milestones)
{
    const std::vector<ProgressStep> schedule = ProgressSchedule(input.size);
    std::uint64_t written = 0;
    std::size_t next_step = 0;
    for (;;) {
        if (!hooks.go_on())
            return {CryptOutcome::Cancelled, 0, nullptr};
        const char *data = nullptr;
        std::size_t got = 0;
        const XorBlockReader::Status status = reader.next(kPoll, &data, &got);
        if (status == XorBlockReader::Status::Pending)
            continue;
        if (status == XorBlockReader::Status::Error)
            return {CryptOutcome::InFileNotReadable, reader.error(), nullptr};
        if (status == XorBlockReader::Status::End)
            break;
        // More bytes than at open: the input changed under the run, as
        // another program still writes it.
        if (got > input.size - written)
            return {CryptOutcome::InFileNotReadable, EBUSY, nullptr};
        // The steps whose bytes are in this block are reported before the
        // block is written, each before its byte.
        const std::size_t first_step = next_step;
        while (next_step < schedule.size() && schedule[next_step].byte <= written + got)
            milestones = schedule[next_step++].milestones;
        if (next_step > first_step)
            hooks.report(schedule.data() + first_step, schedule.data() + next_step);
        if (!output.write(data, got)) {
            const int error = errno;
            return {hooks.go_on() ? CryptOutcome::OutFileNotWritten : CryptOutcome::Cancelled,
                    error, nullptr};
        }
        written += got;
    }
    if (written == input.size)
        return {CryptOutcome::Done, 0, nullptr};
    return {CryptOutcome::InFileNotReadable, EBUSY, nullptr}; // fewer bytes than at open
}

} // namespace

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

// Opens the output; where the descriptors have run out, the outputs
// waiting for their commit are committed first and it is tried once more.
// An output written in place is touched only once those before it are done.
WrittenPartner open_output(const std::string &out_name, const InputFile &input, mode_t umask,
                           const TransformOptions &options, const WriteHooks &hooks)
{
    auto output = std::make_unique<PartnerOutput>();
    bool opened =
        output->open(out_name, input, umask, options.durable, hooks.out_name, hooks.folders);
    int error = opened ? 0 : errno;
    if (!opened && (error == EMFILE || error == ENFILE) && hooks.commit_earlier) {
        if (!hooks.commit_earlier())
            return {CryptOutcome::Cancelled, 0, nullptr};
        output = std::make_unique<PartnerOutput>();
        opened = output->open(out_name, input, umask, options.durable, NameFound::Unknown,
                              hooks.folders);
        error = opened ? 0 : errno;
    }
    if (!opened)
        return {CryptOutcome::OutFileNotWritten, error, nullptr};
    if (output->in_place() && hooks.commit_earlier && !hooks.commit_earlier())
        return {CryptOutcome::Cancelled, 0, nullptr};
    return {CryptOutcome::Done, 0, std::move(output)};
}

} // namespace

WrittenPartner WritePartner(InputFile input, const std::string &out_name, std::string_view key,
                            mode_t umask, const TransformOptions &options, const WriteHooks &hooks)
{
    // Memory that cannot be had stops the file like any other failure of its
    // output; whatever was made of the output is discarded on the way out.
    try {
        // The reader's memory comes first: where it cannot be had, no output
        // has been touched. It reads ahead while the output is made.
        XorBlockReader reader(input.fd.get(), key, options.read, input.size);
        // A run stopped meanwhile makes nothing more.
        if (!hooks.go_on())
            return {CryptOutcome::Cancelled, 0, nullptr};
        WrittenPartner opened = open_output(out_name, input, umask, options, hooks);
        if (opened.outcome != CryptOutcome::Done)
            return opened;
        PartnerOutput &output = *opened.output;
        if (input.size > XorBlockReader::kBlockSize)
            output.expect(input.size);
        output.watch(hooks.go_on);
        const ProgressStep start{ProgressStep::Start, 0, 0.0, 0};
        hooks.report(&start, &start + 1);
        int milestones = 0;
        if (WrittenPartner pumped = pump(reader, input, output, hooks, milestones);
            pumped.outcome != CryptOutcome::Done)
            return pumped;
        // The reader runs ahead of the writes: a change after the last read
        // but during the run shows in the size. An input read in one read
        // that ended where its size said was not changed while it was read.
        struct stat now;
        if (!reader.read_at_once() && ::fstat(input.fd.get(), &now) != 0)
            return {CryptOutcome::InFileNotReadable, errno, nullptr};
        if (!reader.read_at_once() && static_cast<std::uint64_t>(now.st_size) != input.size)
            return {CryptOutcome::InFileNotReadable, EBUSY, nullptr};
        input.fd.reset();
        output.keep_identity(reader.read_at_once());
        output.watch(nullptr);
        const ProgressStep end{ProgressStep::End, input.size, 1.0, milestones};
        hooks.report(&end, &end + 1);
        return opened;
    } catch (const std::bad_alloc &) {
        return {CryptOutcome::OutFileNotWritten, ENOMEM, nullptr};
    }
}
