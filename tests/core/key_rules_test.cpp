// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <string>

#include "crypt/keyrules.h"

TEST(CharToInt, maps_every_byte_to_its_unsigned_value)
{
    for (int b = 0; b < 256; ++b)
        EXPECT_EQ(chartoint(static_cast<char>(b)), b);
}

struct VerdictCase {
    const char *what;
    std::string key;
    int verdict;
};

TEST(ValidateKey, scores_each_rule_into_its_digit)
{
    const VerdictCase cases[] = {
        {"13 bytes", "aB3!efghijklm", 1},
        {"13 spaces", std::string(13, ' '), 1},
        {"13 repeats", std::string(13, 'a'), 1},
        {"empty", "", 1},
        {"14 different lowercase letters", "abcdefghijklmn", 11111010},
        {"every rule passes", "abcdefghijkA1!", 11000010},
        {"one space", "abcdefghij A1!", 11000000},
        {"commercial at", "abcdefghij@A1!", 11000000},
        {"tilde", "abcdefghij~A1!", 11000000},
        {"delete",
         "abcdefghij\x7f"
         "A1!",
         11000000},
        {"seven two-byte characters", "\xc3\xa4\xc3\xb6\xc3\xbc\xc3\x84\xc3\x96\xc3\x9c\xc3\x9f",
         10111100},
        {"at sign but no special", "abcdefghij@AB1", 11100000},
        {"a byte twice passes", "aacdefghijkA1!", 11000010},
        {"a byte three times, far apart, fails", "abcdefghiaAa1!", 10000010},
        {"no letters at all", "12345678!#$%&(", 11001110},
        {"all thirty specials", "!\"#$%&'()*+,-./:;<=>?[\\]^_`{|}", 11011110},
        {"only uppercase, digits missing", "ABCDEFGHIJKLMN", 11110110},
    };
    for (const VerdictCase &c : cases)
        EXPECT_EQ(ValidateKey(c.key.c_str()), c.verdict) << c.what;
}

TEST(ValidateKey, a_short_key_leaves_the_offender_alone)
{
    gderidentischbuchstabe = 'Q';
    EXPECT_EQ(ValidateKey("aaaaaaaaaaaaa"), 1);
    EXPECT_EQ(gderidentischbuchstabe, 'Q');
}

TEST(ValidateKey, the_identical_offender_is_the_highest_repeated_byte)
{
    EXPECT_EQ(ValidateKey("aBaBaBcdef12!?"), 10000010);
    EXPECT_EQ(gderidentischbuchstabe, 'a');
    EXPECT_EQ(ValidateKey("zzzAAA12!?bcde"), 10000010);
    EXPECT_EQ(gderidentischbuchstabe, 'z');
    EXPECT_EQ(ValidateKey("\xe4\xe4\xe4xyzABC123!?"), 10000000);
    EXPECT_EQ(gderidentischbuchstabe, '\xe4');
}

TEST(KeyVerdictMessage, names_the_first_failing_rule_in_the_run_order)
{
    const VerdictCase cases[] = {
        {"The length of the key is less than 14 characters", std::string(13, ' '), 0},
        {"Contains space, umlaut or non-printable character", "              ", 0},
        {"Contains space, umlaut or non-printable character", "aaaaaaaaaaaa a", 0},
        {"Lack of lowercase character", "12345678!#$%&(", 0},
        {"Lack of lowercase character", "ABC12345678901", 0},
        {"Lack of uppercase character", "abc12345678901", 0},
        {"Lack of numeric character", "abcdefghijkAB!", 0},
        {"Lack of punctuation or special character", "abcdefghijkAB1", 0},
        {"Too many identical characters of : a", "aBaBaBcdef12!?", 0},
        {"Too many identical characters of : !", "a!b!c!DEF12345", 0},
        {"", "abcdefghijkA1!", 0},
    };
    for (const VerdictCase &c : cases) {
        const int verdict = ValidateKey(c.key.c_str());
        EXPECT_EQ(KeyVerdictMessage(verdict, gderidentischbuchstabe), c.what) << c.key;
    }
}
