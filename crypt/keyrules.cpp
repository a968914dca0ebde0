// SPDX-License-Identifier: GPL-3.0-or-later
#include "keyrules.h"

#include <cstring>

char gderidentischbuchstabe;

int chartoint(char c)
{
    return static_cast<unsigned char>(c);
}

namespace {

enum class ByteClass { Invalid, Digit, Upper, Lower, Special };

// Compared as a signed byte, so every byte from 128 up lands below 33.
ByteClass classify(char byte)
{
    // The rules compare the byte as signed: a byte over 127 is no printable one.
    const int c = static_cast<signed char>(byte); // NOLINT(bugprone-signed-char-misuse)
    if (c < 33 || c == 64 || c >= 126)
        return ByteClass::Invalid;
    if (c >= 48 && c <= 57)
        return ByteClass::Digit;
    if (c >= 65 && c <= 90)
        return ByteClass::Upper;
    if (c >= 97 && c <= 122)
        return ByteClass::Lower;
    return ByteClass::Special;
}

struct VerdictRule {
    int place;         // decimal place of the rule's digit
    int failing_digit; // the digit that means the rule fails
    const char *message;
};

// The crypt run's tests after the length test, in their order.
const VerdictRule kVerdictRules[] = {
    {10, 0, "Contains space, umlaut or non-printable character"},
    {100, 1, "Lack of lowercase character"},
    {1000, 1, "Lack of uppercase character"},
    {10000, 1, "Lack of numeric character"},
    {100000, 1, "Lack of punctuation or special character"},
    {1000000, 0, "Too many identical characters of : "},
};

} // namespace

int ValidateKey(const char *key)
{
    const std::size_t length = std::strlen(key);
    if (length < 14)
        return 1;

    int counts[256] = {};
    int upper = 0, lower = 0, digit = 0, special = 0, invalid = 0, identical = 0;
    for (std::size_t i = 0; i < length; ++i) {
        ++counts[chartoint(key[i])];
        switch (classify(key[i])) {
        case ByteClass::Invalid: invalid = 1; break;
        case ByteClass::Digit: digit = 1; break;
        case ByteClass::Upper: upper = 1; break;
        case ByteClass::Lower: lower = 1; break;
        case ByteClass::Special: special = 1; break;
        }
    }
    for (int value = 0; value < 256; ++value) {
        if (counts[value] > 2) {
            identical = 1;
            gderidentischbuchstabe = static_cast<char>(value);
        }
    }
    return 11111110 - 1000000 * identical - 100000 * special - 10000 * digit - 1000 * upper -
           100 * lower - 10 * invalid;
}

std::string KeyVerdictMessage(int verdict, char offender)
{
    if (verdict == 1)
        return "The length of the key is less than 14 characters";
    for (const VerdictRule &rule : kVerdictRules) {
        if (verdict / rule.place % 10 == rule.failing_digit) {
            std::string message = rule.message;
            if (rule.place == 1000000)
                message += offender;
            return message;
        }
    }
    return {};
}
