#include <gtest/gtest.h>

#include "crypt/crypt.h"

TEST(CharToInt, maps_every_byte_to_its_unsigned_value)
{
    for (int b = 0; b < 256; ++b)
        EXPECT_EQ(chartoint(static_cast<char>(b)), b);
}
