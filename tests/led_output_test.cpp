// The colour correction every LED write goes through.

#include <gtest/gtest.h>

#include "daemon/led/led_output.h"

namespace {

TEST(LedOutput, RedAndBlueAreScaledTruncatedAndKeptToEightBits) {
  EXPECT_EQ(led_corrected_level('r', 255), 117u);
  EXPECT_EQ(led_corrected_level('g', 255), 255u);
  EXPECT_EQ(led_corrected_level('b', 255), 175u);
  EXPECT_EQ(led_corrected_level('r', 100), 46u);
  EXPECT_EQ(led_corrected_level('g', 100), 100u);
  EXPECT_EQ(led_corrected_level('b', 100), 68u);
  EXPECT_EQ(led_corrected_level('r', 2), 0u);
  EXPECT_EQ(led_corrected_level('b', 1), 0u);
  // 600 x 0.46 = 276, 400 x 0.687 = 274.8
  EXPECT_EQ(led_corrected_level('r', 600), 20u);
  EXPECT_EQ(led_corrected_level('b', 400), 18u);
}

}  // namespace
