// Throughput of the transform next to `dd bs=1M` and the per-byte stdio
// loop, its peak memory, and the time to split a long file list.
// Usage: tenvarix-bench DATA_DIR   (keeps its input files there)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "crypt/crypt.h"
#include "perbyte_reference.h"

extern char **environ;

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kLargeSize = 1024 * kMiB;
constexpr std::uint64_t kPerByteSize = 64 * kMiB;
constexpr int kRounds = 7;
const char kKey[] = "abcdefghijkA1!";

double now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void die(const std::string &what)
{
    std::perror(what.c_str());
    std::exit(1);
}

std::uint64_t file_size(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? std::uint64_t(st.st_size) : 0;
}

void make_input(const std::string &path, std::uint64_t size)
{
    if (file_size(path) == size)
        return;
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    if (!fd)
        die(path);
    std::vector<std::uint64_t> block(kMiB / 8);
    std::uint64_t x = 0x9e3779b97f4a7c15ull;
    for (std::uint64_t done = 0; done < size; done += kMiB) {
        for (auto &w : block) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            w = x;
        }
        if (::write(fd.get(), block.data(), kMiB) != ssize_t(kMiB))
            die(path);
    }
}

// Reads the file once so that every run finds it in the page cache.
void warm(const std::string &path)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY));
    std::vector<char> buffer(kMiB);
    while (::read(fd.get(), buffer.data(), buffer.size()) > 0) {
    }
}

void run_transform(const std::string &in, const std::string &out)
{
    std::optional<InputFile> input = OpenInputFile(in);
    if (!input)
        die(in);
    if (TransformFile(std::move(*input), out, kKey, [](const ProgressStep &) { return true; }) !=
        CryptOutcome::Done)
        die("transform");
}

void run_command(std::vector<std::string> args)
{
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        die(args[0]);
    int status = 0;
    if (::waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        die(args[0]);
}

std::string run_capture(const std::string &command)
{
    std::string out;
    FILE *p = ::popen(command.c_str(), "r");
    if (!p)
        die(command);
    char buf[256];
    while (std::fgets(buf, sizeof buf, p))
        out += buf;
    ::pclose(p);
    return out;
}

long high_water_kib()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Child mode: peak resident memory before and after one transform.
int measure_rss(const char *in, const char *out)
{
    const long idle = high_water_kib();
    run_transform(in, out);
    const long peak = high_water_kib();
    ::unlink(out);
    std::printf("%ld %ld\n", idle, peak);
    return 0;
}

double split_ms()
{
    std::string text;
    for (int i = 0; i < 10000; ++i)
        text += "/home/someone/Documents/archive/2026/report-" + std::to_string(i) + ".pdf\n";
    std::vector<double> times;
    for (int r = 0; r < kRounds; ++r) {
        const double t0 = now();
        FileList list(text);
        std::string path;
        std::size_t total = 0;
        while (list.next(path))
            total += path.size();
        times.push_back(now() - t0);
        if (total == 0)
            die("split");
    }
    return median(times) * 1000;
}

double mb_per_s(std::uint64_t bytes, double seconds)
{
    return double(bytes) / seconds / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--rss") == 0)
        return measure_rss(argv[2], argv[3]);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DATA_DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    ::mkdir(dir.c_str(), 0755);
    const std::string large = dir + "/input-1GiB", small = dir + "/input-64MiB";
    const std::string out = dir + "/output";
    make_input(large, kLargeSize);
    make_input(small, kPerByteSize);
    warm(large);
    warm(small);
    ::unlink(out.c_str());

    // dd with the transform's own block size shows what the block size alone is worth.
    std::vector<double> transform, dd, dd_small_blocks, per_byte;
    std::mt19937 shuffler(7);
    for (int round = 0; round < kRounds; ++round) {
        // A fresh order every round, so no command always follows the same one.
        int order[] = {0, 1, 2, 3};
        std::shuffle(std::begin(order), std::end(order), shuffler);
        for (int which : order) {
            const double t0 = now();
            if (which == 0)
                run_transform(large, out);
            else if (which == 1)
                run_command({"dd", "if=" + large, "of=" + out, "bs=1M", "status=none"});
            else if (which == 2)
                run_command({"dd", "if=" + large, "of=" + out, "bs=256K", "status=none"});
            else if (!PerByteReference(small.c_str(), out.c_str(), kKey, sizeof kKey - 1))
                die("per-byte loop");
            const double seconds = now() - t0;
            const std::uint64_t expected = which == 3 ? kPerByteSize : kLargeSize;
            if (file_size(out) != expected)
                die("output size");
            ::unlink(out.c_str());
            ::sync(); // each run starts with no writeback of another under way
            (which == 0 ? transform : which == 1 ? dd : which == 2 ? dd_small_blocks : per_byte)
                .push_back(seconds);
        }
        std::fprintf(stderr,
                     "round %d of %d: transform %.3f s, dd bs=1M %.3f s, dd bs=256K %.3f s, "
                     "per-byte %.3f s\n",
                     round + 1, kRounds, transform.back(), dd.back(), dd_small_blocks.back(),
                     per_byte.back());
    }

    const std::string self = "/proc/" + std::to_string(::getpid()) + "/exe";
    long idle_large = 0, peak_large = 0, idle_small = 0, peak_small = 0;
    std::sscanf(run_capture("'" + self + "' --rss '" + large + "' '" + out + "'").c_str(), "%ld %ld",
                &idle_large, &peak_large);
    std::sscanf(run_capture("'" + self + "' --rss '" + small + "' '" + out + "'").c_str(), "%ld %ld",
                &idle_small, &peak_small);

    std::printf("rounds: %d, interleaved; outputs deleted between runs (untimed)\n", kRounds);
    std::printf("peak RSS of the transform: 1 GiB file %ld KiB (idle %ld KiB, +%ld KiB); "
                "64 MiB file %ld KiB (+%ld KiB)\n",
                peak_large, idle_large, peak_large - idle_large, peak_small, peak_small - idle_small);
    std::printf("split of 10,000 paths: %.2f ms\n", split_ms());
    // On a shared virtual machine single runs now and then take several times
    // longer; the best run shows what each command can do, the median what
    // it usually does.
    const auto best = [](const std::vector<double> &times) {
        return *std::min_element(times.begin(), times.end());
    };
    const auto row = [&](const char *name, std::uint64_t bytes, const std::vector<double> &times) {
        std::printf("%-32s %10.0f %10.0f\n", name, mb_per_s(bytes, median(times)),
                    mb_per_s(bytes, best(times)));
    };
    const auto ratio = [&](const char *name, const std::vector<double> &faster, std::uint64_t fb,
                           const std::vector<double> &slower, std::uint64_t sb) {
        std::printf("%-32s %9.2fx %9.2fx\n", name,
                    mb_per_s(fb, median(faster)) / mb_per_s(sb, median(slower)),
                    mb_per_s(fb, best(faster)) / mb_per_s(sb, best(slower)));
    };
    std::printf("%-32s %10s %10s\n", "MB/s", "median", "best");
    row("dd bs=256K (1 GiB)", kLargeSize, dd_small_blocks);
    ratio("transform / dd bs=256K", transform, kLargeSize, dd_small_blocks, kLargeSize);
    row("transform (1 GiB)", kLargeSize, transform);
    row("dd bs=1M (1 GiB)", kLargeSize, dd);
    row("per-byte fread/fputc (64 MiB)", kPerByteSize, per_byte);
    ratio("transform / dd bs=1M", transform, kLargeSize, dd, kLargeSize);
    ratio("transform / per-byte", transform, kLargeSize, per_byte, kPerByteSize);
    return 0;
}
