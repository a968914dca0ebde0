// Key validation and file crypt. Free of GTK: the key rules, the naming rule,
// the file-list format and the byte transform can be used and tested on
// their own; doTenvarixCrypto and doCryptFile drive them from the window.
#pragma once

// The offending byte of the identical-characters rule, set by ValidateKey.
extern char gderidentischbuchstabe;

// Progress milestones of the file under way; cleared before every path.
extern int gprozentflag10, gprozentflag20, gprozentflag30, gprozentflag40, gprozentflag50,
    gprozentflag60, gprozentflag70, gprozentflag80, gprozentflag90;
extern int grefreshprogressbar;

// 1 while doTenvarixCrypto works; gcancelcrypt set to 1 during a run asks it
// to stop at its next drain of events.
extern int grunningcrypt;
extern int gcancelcrypt;

int chartoint(char c);
int ValidateKey(const char *key);

// The crypt action: 0 when every listed file was transformed, 1 when the run
// stopped (with a message in the message line, or on a cancel request).
int doTenvarixCrypto();
