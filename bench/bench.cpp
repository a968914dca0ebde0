// SPDX-License-Identifier: GPL-3.0-or-later
// The transform side by side with plain copies: in the page cache, made
// durable, from a cold input; its peak memory and CPU time; many small files;
// the read-ahead ring against a plain loop; the per-byte loop; list splitting.
// Usage: tenvarix-bench DATA_DIR   (keeps its input files there)
// Sizes and rounds come from the environment, so that a quick run is possible:
//   TVX_BENCH_MIB (1024), TVX_BENCH_ROUNDS (7), TVX_BENCH_LARGE_MIB (8192, 0 skips),
//   TVX_BENCH_LARGE_ROUNDS (3), TVX_BENCH_RSS_MIB (4096), TVX_BENCH_SMALL_FILES (1000)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "crypt/blockreader.h"
#include "crypt/crypt.h"
#include "perbyte_reference.h"
#include "tests/runone.h"

extern char **environ;

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kGiB = 1024 * kMiB;
constexpr std::uint64_t kPerByteSize = 64 * kMiB;
constexpr std::uint64_t kRssSmall = 64 * kMiB;
const char kKey[] = "abcdefghijkA1!";

std::uint64_t env_number(const char *name, std::uint64_t fallback)
{
    const char *value = std::getenv(name);
    return value && *value ? std::strtoull(value, nullptr, 10) : fallback;
}

double now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double best(const std::vector<double> &v)
{
    return *std::min_element(v.begin(), v.end());
}

[[noreturn]] void die(const std::string &what)
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
        const std::size_t n = std::min<std::uint64_t>(kMiB, size - done);
        if (::write(fd.get(), block.data(), n) != ssize_t(n))
            die(path);
    }
    ::fsync(fd.get());
}

// Reads the file once so that every run finds it in the page cache.
void warm(const std::string &path)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY));
    std::vector<char> buffer(kMiB);
    while (::read(fd.get(), buffer.data(), buffer.size()) > 0) {
    }
}

// Drops the file from the page cache; its pages are clean once synced.
void evict(const std::string &path)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY));
    if (!fd || ::fsync(fd.get()) != 0 || ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED) != 0)
        die("evict " + path);
}

// The share of the file's pages in the page cache, as fincore counts them.
double cached_share(const std::string &path)
{
    const std::uint64_t size = file_size(path);
    if (size == 0)
        return 0;
    UniqueFd fd(::open(path.c_str(), O_RDONLY));
    void *map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (map == MAP_FAILED)
        die("mmap " + path);
    const long page = ::sysconf(_SC_PAGESIZE);
    std::vector<unsigned char> resident((size + page - 1) / page);
    ::mincore(map, size, resident.data());
    ::munmap(map, size);
    const auto in =
        std::count_if(resident.begin(), resident.end(), [](unsigned char r) { return r & 1; });
    return double(in) / double(resident.size());
}

// The engine, called in one place, a run of one path: "durable" as the
// program runs it, "no flush" without the streaming writeback and the final
// flush. An output that is no partner name of in is reached through a link
// whose partner name it is.
void run_engine(const std::string &in, const std::string &out, bool durable)
{
    std::string from = in;
    if (out != MakeOutFileName(in)) {
        from = out + "tenvarixcrypto";
        ::unlink(from.c_str());
        if (::symlink(in.c_str(), from.c_str()) != 0)
            die("link to " + in);
    }
    TransformOptions options;
    options.durable = durable;
    const CryptOutcome outcome = RunToEnd({from}, kKey, options).outcome;
    if (from != in)
        ::unlink(from.c_str());
    if (outcome != CryptOutcome::Done)
        die("transform");
}

void transform_no_flush(const std::string &in, const std::string &out)
{
    run_engine(in, out, false);
}

void transform_durable(const std::string &in, const std::string &out)
{
    run_engine(in, out, true);
}

// Read and XOR through the ring on its own thread, the calling thread writing.
void ring_copy(const std::string &in, const std::string &out)
{
    UniqueFd from(::open(in.c_str(), O_RDONLY | O_CLOEXEC));
    UniqueFd to(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!from || !to)
        die("ring " + in);
    XorBlockReader reader(from.get(), kKey);
    for (;;) {
        const char *data;
        std::size_t size;
        const XorBlockReader::Status status =
            reader.next(std::chrono::milliseconds(1000), &data, &size);
        if (status == XorBlockReader::Status::Pending)
            continue;
        if (status != XorBlockReader::Status::Block)
            break;
        while (size > 0) {
            const ssize_t n = ::write(to.get(), data, size);
            if (n <= 0)
                die("ring write");
            data += n;
            size -= std::size_t(n);
        }
    }
}

void run_command(std::vector<std::string> args)
{
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
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

void shell(const std::string &script, const std::string &in, const std::string &out)
{
    run_command({"sh", "-c", script, "sh", in, out});
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

double cpu_seconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Child mode: peak resident memory before and after one durable transform,
// and its CPU time.
int measure_rss(const char *in, const char *out)
{
    const long idle = high_water_kib();
    const double cpu = cpu_seconds();
    transform_durable(in, out);
    const double used = cpu_seconds() - cpu;
    const long peak = high_water_kib();
    ::unlink(out);
    std::printf("%ld %ld %.3f\n", idle, peak, used);
    return 0;
}

double split_ms(int rounds)
{
    std::string text;
    for (int i = 0; i < 10000; ++i)
        text += "/home/someone/Documents/archive/2026/report-" + std::to_string(i) + ".pdf\n";
    std::vector<double> times;
    for (int r = 0; r < rounds; ++r) {
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

// One command of a set: what it runs, and the bytes it moves.
struct Contender {
    const char *name;
    std::uint64_t bytes;
    std::function<void()> run;
    std::function<void()> before = [] {}; // untimed, ahead of each run
    std::vector<double> seconds = {};
};

// Runs every contender once per round, in a fresh shuffled order each round;
// each output is checked, deleted and synced away untimed.
void measure(const char *title, std::vector<Contender> &set, int rounds, const std::string &out)
{
    std::fprintf(stderr, "%s:", title);
    std::mt19937 shuffler(7);
    std::vector<std::size_t> order(set.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    for (int round = 0; round < rounds; ++round) {
        std::shuffle(order.begin(), order.end(), shuffler);
        for (std::size_t which : order) {
            Contender &c = set[which];
            c.before();
            const double t0 = now();
            c.run();
            c.seconds.push_back(now() - t0);
            if (file_size(out) != c.bytes)
                die(std::string("output size of ") + c.name);
            ::unlink(out.c_str());
            ::sync(); // each run starts with no writeback of another under way
        }
        std::fprintf(stderr, " %d", round + 1);
    }
    std::fprintf(stderr, "\n");
}

double mb_per_s(std::uint64_t bytes, double seconds)
{
    return double(bytes) / seconds / 1e6;
}

void print_set(const std::string &title, const std::vector<Contender> &set, int rounds)
{
    std::printf("\n%s (%d rounds)\n", title.c_str(), rounds);
    std::printf("  %-56s %9s  %s\n", "MB/s", "median", "[best]");
    for (const Contender &c : set)
        std::printf("  %-56s %9.0f  [%.0f]\n", c.name, mb_per_s(c.bytes, median(c.seconds)),
                    mb_per_s(c.bytes, best(c.seconds)));
}

// How many times faster the first is than the second: the median of the
// per-round ratios of speed, and the ratio of the best runs in brackets.
void print_ratio(const Contender &a, const Contender &b)
{
    std::vector<double> ratios;
    for (std::size_t i = 0; i < a.seconds.size(); ++i)
        ratios.push_back((double(a.bytes) / a.seconds[i]) / (double(b.bytes) / b.seconds[i]));
    const double best_ratio =
        (double(a.bytes) / best(a.seconds)) / (double(b.bytes) / best(b.seconds));
    std::printf("  %-56s %8.2fx  [%.2fx]\n", (std::string(a.name) + " / " + b.name).c_str(),
                median(ratios), best_ratio);
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
    const int rounds = int(env_number("TVX_BENCH_ROUNDS", 7));
    const std::uint64_t size = env_number("TVX_BENCH_MIB", 1024) * kMiB;
    const std::uint64_t large_size = env_number("TVX_BENCH_LARGE_MIB", 8192) * kMiB;
    const int large_rounds = int(env_number("TVX_BENCH_LARGE_ROUNDS", 3));
    const std::uint64_t rss_size = env_number("TVX_BENCH_RSS_MIB", 4096) * kMiB;
    const int small_files = int(env_number("TVX_BENCH_SMALL_FILES", 1000));

    const std::string dir = argv[1];
    ::mkdir(dir.c_str(), 0755);
    const auto input_name = [&](std::uint64_t bytes) {
        return dir + "/input-" + std::to_string(bytes / kMiB) + "MiB";
    };
    const std::string in = input_name(size), per_byte_in = input_name(kPerByteSize);
    const std::string rss_small_in = input_name(kRssSmall), rss_in = input_name(rss_size);
    const std::string large_in = input_name(large_size);
    const std::string out = dir + "/output";
    for (std::uint64_t bytes : {size, kPerByteSize, kRssSmall, rss_size, large_size})
        if (bytes > 0)
            make_input(input_name(bytes), bytes);
    ::unlink(out.c_str());

    const auto cat = [&](const std::string &from) {
        return [&, from] { shell("cat \"$1\" > \"$2\"", from, out); };
    };
    const auto cat_sync = [&](const std::string &from) {
        return [&, from] { shell("cat \"$1\" > \"$2\" && sync \"$2\"", from, out); };
    };
    const auto dd = [&](const std::string &from, const char *bs) {
        return [&, from, bs] {
            run_command({"dd", "if=" + from, "of=" + out, std::string("bs=") + bs, "status=none"});
        };
    };

    // In the page cache, without the final flush.
    warm(in);
    warm(per_byte_in);
    std::vector<Contender> cached = {
        {"transform, no flush", size, [&] { transform_no_flush(in, out); }},
        {"cat IN > OUT", size, cat(in)},
        {"dd bs=1M", size, dd(in, "1M")},
        {"dd bs=256K", size, dd(in, "256K")},
        {"ring of 4 blocks, reader thread", size, [&] { ring_copy(in, out); }},
        {"per-byte fread/fputc (64 MiB)", kPerByteSize,
         [&] {
             if (!PerByteReference(per_byte_in.c_str(), out.c_str(), kKey, sizeof kKey - 1))
                 die("per-byte loop");
         }},
    };
    measure("page cache", cached, rounds, out);

    // Durable: the output on disk when the run ends.
    warm(in);
    std::vector<Contender> durable = {
        {"transform, durable", size, [&] { transform_durable(in, out); }},
        {"cat IN > OUT && sync OUT", size, cat_sync(in)},
    };
    measure("durable", durable, rounds, out);

    std::vector<Contender> durable_large;
    if (large_size > 0) {
        durable_large = {
            {"transform, durable", large_size, [&] { transform_durable(large_in, out); }},
            {"cat IN > OUT && sync OUT", large_size, cat_sync(large_in)},
        };
        measure("durable, large", durable_large, large_rounds, out);
    }

    // Cold input: read from the disk on every run.
    double most_cached = 0;
    const auto cold = [&] {
        evict(in);
        most_cached = std::max(most_cached, cached_share(in));
    };
    std::vector<Contender> cold_set = {
        {"transform, no flush", size, [&] { transform_no_flush(in, out); }, cold},
        {"dd bs=1M", size, dd(in, "1M"), cold},
        {"ring of 4 blocks, reader thread", size, [&] { ring_copy(in, out); }, cold},
    };
    measure("cold input", cold_set, rounds, out);

    // Many small files, each a run of its own.
    const std::string small_dir = dir + "/small";
    ::mkdir(small_dir.c_str(), 0755);
    for (int i = 0; i < small_files; ++i)
        make_input(small_dir + "/f" + std::to_string(i), 4096);
    std::vector<double> small_durable, small_no_flush;
    for (int round = 0; round < rounds; ++round) {
        for (int durable_run = 0; durable_run < 2; ++durable_run) {
            const double t0 = now();
            for (int i = 0; i < small_files; ++i) {
                const std::string name = small_dir + "/f" + std::to_string(i);
                if (durable_run)
                    transform_durable(name, name + "tenvarixcrypto");
                else
                    transform_no_flush(name, name + "tenvarixcrypto");
            }
            (durable_run ? small_durable : small_no_flush).push_back(now() - t0);
            for (int i = 0; i < small_files; ++i)
                ::unlink((small_dir + "/f" + std::to_string(i) + "tenvarixcrypto").c_str());
            ::sync();
        }
    }

    // Peak memory and CPU time, each in a process of its own.
    const std::string self = "/proc/" + std::to_string(::getpid()) + "/exe";
    struct Usage {
        long idle = 0, peak = 0;
        double cpu = 0;
    };
    const auto usage_of = [&](const std::string &from) {
        Usage u;
        std::sscanf(run_capture("'" + self + "' --rss '" + from + "' '" + out + "'").c_str(),
                    "%ld %ld %lf", &u.idle, &u.peak, &u.cpu);
        ::sync();
        return u;
    };
    warm(rss_small_in);
    const Usage rss_small = usage_of(rss_small_in);
    const Usage rss_large = usage_of(rss_in);

    std::printf("Outputs deleted and synced between runs, untimed; every round in a fresh "
                "shuffled order.\nRatios: median of the per-round ratios of speed, the best runs' "
                "ratio in brackets.\n");
    print_set("Page cache, " + std::to_string(size / kMiB) + " MiB input", cached, rounds);
    print_ratio(cached[0], cached[1]);
    print_ratio(cached[0], cached[2]);
    print_ratio(cached[0], cached[3]);
    print_ratio(cached[4], cached[0]);
    print_ratio(cached[0], cached[5]);

    print_set("Durable, " + std::to_string(size / kMiB) + " MiB input in the page cache", durable,
              rounds);
    print_ratio(durable[0], durable[1]);
    if (large_size > 0) {
        print_set("Durable, " + std::to_string(large_size / kMiB) + " MiB input", durable_large,
                  large_rounds);
        print_ratio(durable_large[0], durable_large[1]);
    }
    print_set("Cold input, " + std::to_string(size / kMiB) + " MiB", cold_set, rounds);
    std::printf("  (at most %.1f %% of the input in the page cache at a start)\n",
                100 * most_cached);
    print_ratio(cold_set[0], cold_set[1]);
    print_ratio(cold_set[2], cold_set[1]);

    std::printf(
        "\nPeak RSS of a durable transform above the idle process, and CPU time (user+sys)\n");
    for (const auto &[bytes, u] : {std::pair{kRssSmall, rss_small}, std::pair{rss_size, rss_large}})
        std::printf(
            "  %5llu MiB file: +%ld KiB (peak %ld KiB, idle %ld KiB); CPU %.2f s, %.2f s per GiB\n",
            static_cast<unsigned long long>(bytes / kMiB), u.peak - u.idle, u.peak, u.idle, u.cpu,
            u.cpu / (double(bytes) / kGiB));
    std::printf("\n%d files of 4 KiB, each its own run (%d rounds): durable %.2f s [%.2f], "
                "no flush %.2f s [%.2f]\n",
                small_files, rounds, median(small_durable), best(small_durable),
                median(small_no_flush), best(small_no_flush));
    std::printf("Split of 10,000 paths: %.2f ms\n", split_ms(rounds));
    return 0;
}
