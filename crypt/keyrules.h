// SPDX-License-Identifier: GPL-3.0-or-later
// The key rules, inside the GTK-free core: the verdict on a key and the
// message of the first rule it fails.
#pragma once

#include <string>

// The offending byte of the identical-characters rule, set by ValidateKey.
extern char gderidentischbuchstabe;

// Key rules. ValidateKey returns 1 for a key shorter than 14 bytes, else the
// eight-digit verdict code (11000010 when every rule passes).
int chartoint(char c);
int ValidateKey(const char *key);

// The message of the first rule the verdict code fails, in the crypt run's
// order; empty when the key passes. offender is gderidentischbuchstabe.
std::string KeyVerdictMessage(int verdict, char offender);
