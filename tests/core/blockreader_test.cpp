// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>

#include "crypt/blockreader.h"
#include "crypt/fd.h"
#include "files.h"

namespace {

using namespace testfiles;
using namespace std::chrono_literals;

constexpr std::size_t kBlock = XorBlockReader::kBlockSize;

struct Drained {
    std::string bytes;
    XorBlockReader::Status last;
    int pending = 0;
};

// Takes blocks until End or Error, checking that each is page-aligned and
// that every block but the last is whole.
Drained drain(XorBlockReader &reader, std::chrono::milliseconds wait = 5000ms)
{
    Drained d;
    std::size_t previous = kBlock;
    for (;;) {
        const char *data;
        std::size_t size;
        d.last = reader.next(wait, &data, &size);
        if (d.last == XorBlockReader::Status::Pending) {
            ++d.pending;
            continue;
        }
        if (d.last != XorBlockReader::Status::Block)
            return d;
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(data) % 4096, 0u);
        EXPECT_EQ(previous, kBlock) << "a short block before the last";
        previous = size;
        d.bytes.append(data, size);
    }
}

class BlockReader : public ::testing::Test {
protected:
    ScratchDir scratch_;
};

} // namespace

TEST_F(BlockReader, blocks_hold_the_input_xored_by_file_offset)
{
    for (std::size_t size :
         {std::size_t{0}, std::size_t{1}, kBlock - 1, kBlock, 3 * kBlock + 4567}) {
        SCOPED_TRACE(size);
        const std::string bytes = random_bytes(size, static_cast<unsigned>(size));
        write_file(scratch_.path("in"), bytes);
        UniqueFd fd(::open(scratch_.path("in").c_str(), O_RDONLY | O_CLOEXEC));
        XorBlockReader reader(fd.get(), kKey);
        const Drained d = drain(reader);
        EXPECT_EQ(d.last, XorBlockReader::Status::End);
        EXPECT_EQ(d.bytes, xor_with(bytes, kKey));
        EXPECT_EQ(reader.bytes_read(), size);
        const char *data;
        std::size_t got;
        EXPECT_EQ(reader.next(0ms, &data, &got), XorBlockReader::Status::End) << "End stays";
    }
}

TEST_F(BlockReader, a_failed_read_comes_once_after_the_bytes_before_it_and_eintr_is_retried)
{
    const std::string bytes = random_bytes(4 * kBlock, 3);
    write_file(scratch_.path("in"), bytes);
    UniqueFd fd(::open(scratch_.path("in").c_str(), O_RDONLY | O_CLOEXEC));
    const std::size_t fail_at = kBlock + 1000;
    std::size_t offset = 0, calls = 0, calls_after_failure = 0;
    bool interrupted = false;
    XorBlockReader reader(fd.get(), kKey, [&](int f, char *buffer, std::size_t n) -> ssize_t {
        ++calls;
        if (!interrupted) {
            interrupted = true;
            errno = EINTR;
            return -1;
        }
        if (offset >= fail_at) {
            ++calls_after_failure;
            errno = EIO;
            return -1;
        }
        const ssize_t got = ::read(f, buffer, std::min(n, fail_at - offset));
        offset += static_cast<std::size_t>(got);
        return got;
    });
    const Drained d = drain(reader);
    EXPECT_EQ(d.last, XorBlockReader::Status::Error);
    EXPECT_EQ(d.bytes, xor_with(bytes.substr(0, fail_at), kKey));
    const char *data;
    std::size_t size;
    EXPECT_EQ(reader.next(0ms, &data, &size), XorBlockReader::Status::Error);
    EXPECT_EQ(calls_after_failure, 1u) << "no read after the failure";
}

TEST_F(BlockReader, dropped_mid_file_it_stops_within_the_ring_and_joins)
{
    const std::string bytes = random_bytes(16 * kBlock, 4);
    write_file(scratch_.path("in"), bytes);
    UniqueFd fd(::open(scratch_.path("in").c_str(), O_RDONLY | O_CLOEXEC));
    std::atomic<std::size_t> read_bytes{0};
    {
        XorBlockReader reader(fd.get(), kKey, [&](int f, char *buffer, std::size_t n) {
            const ssize_t got = ::read(f, buffer, n);
            read_bytes += static_cast<std::size_t>(std::max<ssize_t>(got, 0));
            return got;
        });
        const char *data;
        std::size_t size;
        ASSERT_EQ(reader.next(5000ms, &data, &size), XorBlockReader::Status::Block);
        EXPECT_EQ(std::string(data, size), xor_with(bytes.substr(0, kBlock), kKey));
        std::this_thread::sleep_for(50ms); // lets the thread fill the ring
    }
    EXPECT_LE(read_bytes.load(), (XorBlockReader::kRingSize + 1) * kBlock);
}

TEST_F(BlockReader, a_slow_source_gives_pending_and_then_its_bytes)
{
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    UniqueFd read_end(ends[0]), write_end(ends[1]);
    const std::string bytes = random_bytes(2 * kBlock + 333, 5);
    std::promise<void> go;
    std::thread feeder([&, started = go.get_future()]() mutable {
        started.wait();
        for (std::size_t done = 0; done < bytes.size(); done += 40000) {
            const std::size_t n = std::min<std::size_t>(40000, bytes.size() - done);
            if (::write(write_end.get(), bytes.data() + done, n) != static_cast<ssize_t>(n))
                break;
            std::this_thread::sleep_for(2ms);
        }
        write_end.reset();
    });
    XorBlockReader reader(read_end.get(), kKey);
    const char *data;
    std::size_t size;
    EXPECT_EQ(reader.next(20ms, &data, &size), XorBlockReader::Status::Pending);
    go.set_value();
    const Drained d = drain(reader, 1ms);
    feeder.join();
    EXPECT_EQ(d.last, XorBlockReader::Status::End);
    EXPECT_EQ(d.bytes, xor_with(bytes, kKey));
    EXPECT_GT(d.pending, 0);
}
