// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "crypt/run.h"

namespace {

// The per-byte loop as it sets the bar, byte by byte.
std::vector<ProgressStep> per_byte_refreshes(std::uint64_t size)
{
    const double milestones[] = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9};
    int flags[9] = {};
    std::vector<ProgressStep> refreshes;
    for (std::uint64_t count = 1; count <= size; ++count) {
        const double fraction = double(count) / double(size + 1);
        bool refresh = false;
        int passed = 0;
        for (int m = 0; m < 9; ++m) {
            if (fraction > milestones[m] && !flags[m]) {
                flags[m] = 1;
                refresh = true;
            }
            passed += flags[m];
        }
        if (refresh)
            refreshes.push_back({ProgressStep::Milestone, count, fraction, passed});
    }
    return refreshes;
}

// Only the steps a file of exactly this size reaches.
std::vector<ProgressStep> reached(std::uint64_t size)
{
    std::vector<ProgressStep> steps;
    for (const ProgressStep &s : ProgressSchedule(size))
        if (s.byte <= size)
            steps.push_back(s);
    return steps;
}

void expect_same(const std::vector<ProgressStep> &a, const std::vector<ProgressStep> &b,
                 std::uint64_t size)
{
    ASSERT_EQ(a.size(), b.size()) << "size " << size;
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].byte, b[i].byte) << "size " << size << " step " << i;
        EXPECT_EQ(a[i].fraction, b[i].fraction) << "size " << size << " step " << i;
        EXPECT_EQ(a[i].milestones, b[i].milestones) << "size " << size << " step " << i;
    }
}

} // namespace

TEST(ProgressSchedule, small_sizes_follow_the_documented_steps)
{
    EXPECT_TRUE(reached(0).empty());

    const auto one = reached(1);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].fraction, 0.5);
    EXPECT_EQ(one[0].milestones, 4);

    const auto nine = reached(9);
    ASSERT_EQ(nine.size(), 8u);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(nine[i].byte, std::uint64_t(i + 2));
        EXPECT_EQ(nine[i].milestones, i + 1);
    }
    EXPECT_EQ(nine.back().fraction, 0.9);

    const auto ten = reached(10);
    ASSERT_EQ(ten.size(), 9u);
    EXPECT_EQ(ten.back().byte, 10u);
    EXPECT_EQ(ten.back().fraction, 10.0 / 11.0);
}

TEST(ProgressSchedule, matches_the_per_byte_loop_at_every_size_tried)
{
    for (std::uint64_t size = 0; size <= 500; ++size)
        expect_same(reached(size), per_byte_refreshes(size), size);
    for (std::uint64_t size : {999u, 1000u, 1001u, 65535u, 262144u, 262145u, 1048576u + 7})
        expect_same(reached(size), per_byte_refreshes(size), size);
}

TEST(ProgressSchedule, a_file_that_grew_passes_the_remaining_milestones_at_its_extra_byte)
{
    const auto steps = ProgressSchedule(3);
    ASSERT_FALSE(steps.empty());
    EXPECT_EQ(steps.back().byte, 4u);
    EXPECT_EQ(steps.back().fraction, 1.0);
    EXPECT_EQ(steps.back().milestones, 9);
}

TEST(ProgressSchedule, sizes_beyond_32_bits_pass_each_milestone_at_its_first_byte_over_it)
{
    for (std::uint64_t size : {std::uint64_t(1) << 32, (std::uint64_t(1) << 32) + 12345,
                               std::uint64_t(5) << 40, std::uint64_t(1) << 55}) {
        const auto steps = ProgressSchedule(size);
        ASSERT_EQ(steps.size(), 9u) << size;
        const double milestones[] = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9};
        for (int m = 0; m < 9; ++m) {
            const std::uint64_t n = steps[m].byte;
            EXPECT_GT(double(n) / double(size + 1), milestones[m]) << size;
            EXPECT_LE(double(n - 1) / double(size + 1), milestones[m]) << size;
            EXPECT_EQ(steps[m].fraction, double(n) / double(size + 1));
            EXPECT_EQ(steps[m].milestones, m + 1);
            EXPECT_LE(n, size);
        }
        // Near the 32-bit edge the 10 % mark lies well past 2^28 bytes.
        EXPECT_GT(steps[0].byte, std::uint64_t(1) << 28);
    }
}
