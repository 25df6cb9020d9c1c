// The colour rule of the IMPRESS chase.

#include <gtest/gtest.h>

#include "daemon/led/effects.h"

namespace {

struct Rgb {
  int r, g, b;
  bool operator==(const Rgb&) const = default;
};

void PrintTo(const Rgb& c, std::ostream* out) { *out << "(" << c.r << ", " << c.g << ", " << c.b << ")"; }

Rgb stepped(int r, int g, int b) {
  LedSetting colour{7, static_cast<std::uint8_t>(r), static_cast<std::uint8_t>(g),
                    static_cast<std::uint8_t>(b)};
  impress_step(&colour);
  EXPECT_EQ(colour.channel, 7) << "the step changes the colour only";
  return {colour.red, colour.green, colour.blue};
}

// The colour after step i of the show, which starts from (44, 0, 0).
Rgb expected_after(int i) {
  if (i <= 42) return {43 - i, i + 1, 0};
  if (i <= 85) return {0, 86 - i, i - 42};
  return {i - 85, 0, 129 - i};
}

TEST(ImpressStep, ChaseRunsRedToGreenToBlueAndBack) {
  LedSetting colour{0, 44, 0, 0};
  for (int i = 0; i < 120; ++i) {
    impress_step(&colour);
    const Rgb now{colour.red, colour.green, colour.blue};
    ASSERT_EQ(now, expected_after(i)) << "after step " << i;
    ASSERT_EQ(now.r + now.g + now.b, 44) << "after step " << i;
  }
}

TEST(ImpressStep, TurningPointsMoveTwoUnitsInOneStep) {
  // Red runs out: green passes one unit on to blue at once.
  EXPECT_EQ(stepped(1, 43, 0), (Rgb{0, 43, 1}));
  // Green runs out: blue passes one unit on to red at once.
  EXPECT_EQ(stepped(0, 1, 43), (Rgb{1, 0, 43}));
  // Red runs out with nothing in green: the unit goes round to red again.
  EXPECT_EQ(stepped(1, 0, 0), (Rgb{1, 0, 0}));
}

TEST(ImpressStep, OtherMixesFollowTheRule) {
  EXPECT_EQ(stepped(10, 0, 5), (Rgb{11, 0, 4}));
  EXPECT_EQ(stepped(10, 3, 5), (Rgb{10, 3, 5}));
  EXPECT_EQ(stepped(0, 0, 5), (Rgb{1, 0, 4}));
  EXPECT_EQ(stepped(0, 0, 0), (Rgb{0, 0, 0}));
  EXPECT_EQ(stepped(0, 5, 0), (Rgb{0, 4, 1}));
}

}  // namespace
