#include "shell.h"

int main(int argc, char **argv)
{
    InitiateEnvironment(argc, argv);
    TenvarixCrypto();
    return 0;
}
