// Bytes above 0x7F in a numeric argument. char is signed on the host and
// unsigned on the appliance; both builds must read such bytes alike.

#include <gtest/gtest.h>

#include "protocol/arguments.h"

namespace {

TEST(Arguments, BytesAboveSevenBitsAreNeitherDigitsSignsNorSpaces) {
  // 0xB5, 0xAD, 0xAB and 0xA0 are '5', '-', '+' and ' ' with the top bit set.
  EXPECT_EQ(argument_number("\xB5"), 0);
  EXPECT_EQ(argument_number("\xAD"
                            "5"),
            0);
  EXPECT_EQ(argument_number("\xAB"
                            "5"),
            0);
  EXPECT_EQ(argument_number("\xA0"
                            "5"),
            0);
  EXPECT_EQ(argument_number("\x80"), 0);
  // They end a number like any other non-digit.
  EXPECT_EQ(argument_number("12\xB5"), 12);
  EXPECT_EQ(argument_number("-7\xFF"), -7);
  EXPECT_EQ(argument_number("2147483647\xB0"), 2147483647);
}

}  // namespace
