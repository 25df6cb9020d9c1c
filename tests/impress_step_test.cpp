// The effects as far as they run without an appliance: the colour rule of
// the IMPRESS chase, and ID without its blink thread.

#include <gtest/gtest.h>

#include <array>
#include <cerrno>

#include "daemon/led/effects.h"

namespace {

using Rgb = std::array<int, 3>;

// The colour after step i of the show, which starts from (44, 0, 0).
Rgb expected_after(int i) {
  if (i <= 42) return {43 - i, i + 1, 0};
  if (i <= 85) return {0, 86 - i, i - 42};
  return {i - 85, 0, 129 - i};
}

TEST(ImpressStep, ChaseRunsRedToGreenToBlueAndBack) {
  LedSetting colour{5, 44, 0, 0};
  for (int i = 0; i < 120; ++i) {
    impress_step(&colour);
    const Rgb now{colour.red, colour.green, colour.blue};
    ASSERT_EQ(now, expected_after(i)) << "after step " << i;
    ASSERT_EQ(now[0] + now[1] + now[2], 44) << "after step " << i;
    // Where red and then green run out, two units move in one step.
    if (i == 43) {
      EXPECT_EQ(now, (Rgb{0, 43, 1}));
    }
    if (i == 86) {
      EXPECT_EQ(now, (Rgb{1, 0, 43}));
    }
  }
  EXPECT_EQ(colour.channel, 5) << "the step changes the colour only";
}

// This process never starts the blink thread, as a daemon whose thread could
// not be created: ID 1 would blink nothing, so it is refused.
TEST(Identify, OnWithoutTheBlinkThreadIsRefused) {
  char keyword[] = "ID", on[] = "1";
  char* argv[] = {keyword, on};
  EXPECT_EQ(cmd_id(2, argv), -EAGAIN);
}

}  // namespace
