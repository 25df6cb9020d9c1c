#include <gtest/gtest.h>

#include "protocol/arguments.h"

// Arguments read the same on a 64-bit host as with the appliance's 32-bit long.
TEST(Arguments, ReadLikeThirtyTwoBitStrtol) {
  EXPECT_EQ(argument_number("5x"), 5);
  EXPECT_EQ(argument_number("x"), 0);
  EXPECT_EQ(argument_number(""), 0);
  EXPECT_EQ(argument_number("-3"), -3);
  EXPECT_EQ(argument_number("+7"), 7);
  EXPECT_EQ(argument_number(" 12"), 12);
  EXPECT_EQ(argument_number("2147483647"), 2147483647);
  EXPECT_EQ(argument_number("2147483648"), 2147483647);
  EXPECT_EQ(argument_number("4294967302"), 2147483647);
  EXPECT_EQ(argument_number("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(argument_number("-2147483649"), -2147483647 - 1);
  EXPECT_EQ(argument_number("99999999999999999999999"), 2147483647);
}
