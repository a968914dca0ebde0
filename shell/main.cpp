// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell.h"

int main(int argc, char **argv)
{
    std::vector<std::string> files = InitiateEnvironment(argc, argv);
    TenvarixCrypto(files);
    return TenvarixCryptoExitStatus();
}
