// SPDX-License-Identifier: GPL-3.0-or-later
// The in-process GUI tests share one toolkit, set up exactly as the program
// sets it up; run them under tests/xvfb-run.sh.
#include <gtest/gtest.h>

#include "shell/shell.h"

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    InitiateEnvironment(argc, argv);
    // A stopped run whose worker is let go of ends all writing in this
    // process, and every later test with it: on a loaded machine a stop may
    // take longer than the program's own wait, so the tests wait longer.
    TenvarixCryptoSetLetGoAfter(30 * G_USEC_PER_SEC);
    return RUN_ALL_TESTS();
}
