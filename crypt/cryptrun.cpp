#include "crypt.h"

#include "shell/shell.h"

int gprozentflag10, gprozentflag20, gprozentflag30, gprozentflag40, gprozentflag50,
    gprozentflag60, gprozentflag70, gprozentflag80, gprozentflag90;
int grefreshprogressbar;
int grunningcrypt;
int gcancelcrypt;

int doTenvarixCrypto()
{
    return 1;
}
