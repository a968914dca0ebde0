// SPDX-License-Identifier: GPL-3.0-or-later
#include "dispatch.h"
#include "startup.h"

int main(int argc, char **argv)
{
    std::vector<std::string> files = InitiateEnvironment(argc, argv);
    TenvarixCrypto(files);
    return TenvarixCryptoExitStatus();
}
