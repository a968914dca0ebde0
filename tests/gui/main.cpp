// SPDX-License-Identifier: GPL-3.0-or-later
// The in-process GUI tests share one toolkit, set up exactly as the program
// sets it up; run them under tests/xvfb-run.sh.
#include <gtest/gtest.h>

#include "shell/shell.h"

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    InitiateEnvironment(argc, argv);
    return RUN_ALL_TESTS();
}
