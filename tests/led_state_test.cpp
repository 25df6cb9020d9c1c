// The LED state: what the LEDs show at start-up, its file, and how a failing
// LED or a failing save is handled.

#include <unistd.h>

#include "tests/appliance.h"

namespace {

using sim::brightness_path;
using LedState = Appliance;

TEST_F(LedState, FirstStartShowsGreenAndTheFirstChangeWritesTheWholeImage) {
  start();
  EXPECT_EQ(led_colours(), every_led("0 255 0"));
  EXPECT_FALSE(box->exists(kLedStatePath)) << "nothing changed, nothing to keep";
  EXPECT_EQ(ask("GTS 15\r"), "ACK GTS 15 CH15R=1 CH15G=1 CH15B=1 CH15SC=0\r");
  EXPECT_EQ(ask("GTS 16\r"), "ACK GTS 16 CH16R=0 CH16G=0 CH16B=0 CH16SC=0\r");
  EXPECT_EQ(ask("GRGB 16\r"), "ACK GRGB 2 CH16 0 0 0\r");
  EXPECT_FALSE(box->exists(kLedStatePath)) << "reports change nothing";

  // The first change writes the whole image.
  EXPECT_EQ(ask("STS 16 R=0\r"), "ACK STS 16 R=0\r");
  EXPECT_EQ(box->read_file(kLedStatePath), default_led_image());
}

TEST_F(LedState, ZeroFileTurnsEveryLedDark) {
  box->write_file(kLedStatePath, std::string(kLedImageSize, '\0'));
  fill_leds("9");
  start();
  EXPECT_EQ(led_colours(), every_led("0 0 0"));
  EXPECT_EQ(ask("GTS 1\r"), "ACK GTS 1 CH1R=0 CH1G=0 CH1B=0 CH1SC=0\r");
  EXPECT_EQ(ask("GTSB 1\r"), "ACK GTSB 1 CH1R=0 CH1G=0 CH1B=0 CH1SC=0\r");
}

TEST_F(LedState, ShortFileReplacesTheFrontAndKeepsTheDefaultsBehind) {
  // The flags only: channel 2 green on, channel 5 red on, everything else off.
  std::string flags(kLedImageSize / 2, '\0');
  flags[led_flag_at(2, 1)] = 1;
  flags[led_flag_at(5, 0)] = 1;
  box->write_file(kLedStatePath, flags);
  start();
  std::vector<std::string> expected = every_led("0 0 0");
  expected[1] = "0 255 0";
  EXPECT_EQ(led_colours(), expected) << "the start-up applies what the short file left";
  EXPECT_EQ(ask("GTS 2\r"), "ACK GTS 2 CH2R=0 CH2G=1 CH2B=0 CH2SC=0\r");
  EXPECT_EQ(ask("GTSB 5\r"), "ACK GTSB 5 CH5R=0 CH5G=100 CH5B=0 CH5SC=0\r");
  EXPECT_EQ(ask("GRGB 5\r"), "ACK GRGB 2 CH5 0 0 0\r");

  // Part of a level row: channel 1's red level comes from the file.
  box->kill_daemon();
  box->write_file(kLedStatePath, default_led_image().substr(0, led_level_at(1, 0)) + bytes({200}));
  start();
  EXPECT_EQ(ask("GRGB 1\r"), "ACK GRGB 2 CH1 200 255 0\r");
  EXPECT_EQ(led_colour(1), "92 255 0");
}

TEST_F(LedState, ColoursAndFlagsSurviveARestart) {
  start();
  EXPECT_EQ(ask("SRGB 0 255 0 0\r"), "ACK SRGB 0 255 0 0\r");
  EXPECT_EQ(ask("STS 4 R=0\r"), "ACK STS 4 R=0\r");
  EXPECT_EQ(ask("SRGB 16 1 2 3\r"), "ACK SRGB 16 1 2 3\r");
  std::vector<std::string> expected = every_led("117 0 0");
  expected[3] = "0 0 0";
  ASSERT_EQ(led_colours(), expected);
  const std::string saved = box->read_file(kLedStatePath);
  ASSERT_EQ(saved.size(), kLedImageSize);

  ASSERT_TRUE(box->kill_daemon());
  fill_leds("9");
  start();
  EXPECT_EQ(led_colours(), expected);
  EXPECT_EQ(ask("GRGB 3\r"), "ACK GRGB 2 CH3 255 0 0\r");
  EXPECT_EQ(ask("GRGB 4\r"), "ACK GRGB 2 CH4 0 0 0\r");
  EXPECT_EQ(ask("GRGB 16\r"), "ACK GRGB 2 CH16 1 2 3\r");
  EXPECT_EQ(box->read_file(kLedStatePath), saved) << "loading does not rewrite the file";
}

TEST_F(LedState, MissingBrightnessFileStopsTheLedsMidway) {
  start();
  box->remove_file(brightness_path(3, 'b'));
  EXPECT_EQ(ask("SRGB 0 255 255 255\r"), "NACK SRGB 0 255 255 255\r");
  std::vector<std::string> expected = every_led("0 255 0");
  expected[0] = expected[1] = "117 255 175";
  expected[2] = "117 255 ";
  EXPECT_EQ(led_colours(), expected) << "earlier writes stay, later LEDs are not touched";
  EXPECT_FALSE(box->exists(brightness_path(3, 'b'))) << "brightness files are never created";

  // The image and its file keep the change.
  EXPECT_EQ(ask("GRGB 15\r"), "ACK GRGB 2 CH15 255 255 255\r");
  EXPECT_EQ(static_cast<unsigned char>(box->read_file(kLedStatePath).at(led_level_at(15, 0))),
            255u);
  EXPECT_TRUE(messages().empty()) << "LED failures are not logged";
}

TEST_F(LedState, FailedSaveIsRefusedShownAndKeepsTheOldFileWhole) {
  start();
  ASSERT_EQ(ask("SRGB 1 10 20 30\r"), "ACK SRGB 1 10 20 30\r");
  const std::string before = box->read_file(kLedStatePath);
  box->set_mode(kSettingsFolder, 0555);
  // The change would be gone at the next start: refused, though the LEDs and
  // the image already show it.
  expect_refused({"SRGB 1 40 50 60\r", "STS 2 G=0\r", "STSB 3 R=100\r"});
  EXPECT_EQ(led_colour(1), "18 50 41");
  EXPECT_EQ(led_colour(2), "0 0 0");
  EXPECT_EQ(led_colour(3), "117 255 0");
  EXPECT_EQ(ask("GRGB 1\r"), "ACK GRGB 2 CH1 40 50 60\r");
  box->set_mode(kSettingsFolder, 0755);
  EXPECT_EQ(box->read_file(kLedStatePath), before);
  EXPECT_TRUE(messages().empty()) << "no new log lines";
}

TEST_F(LedState, BrightnessThatCannotBeWrittenFailsEveryCommandThatShowsTheState) {
  start();
  // A brightness file that opens but refuses every write.
  const std::string file = box->host_path(brightness_path(2, 'g'));
  ASSERT_EQ(unlink(file.c_str()), 0);
  ASSERT_EQ(symlink("/dev/full", file.c_str()), 0);
  EXPECT_EQ(ask("SRGB 0 255 255 255\r"), "NACK SRGB 0 255 255 255\r");
  EXPECT_EQ(led_colour(1), "117 255 175");
  EXPECT_EQ(box->read_file(brightness_path(2, 'r')), "117")
      << "written up to the failing component";
  EXPECT_EQ(box->read_file(brightness_path(2, 'b')), "0") << "and not beyond it";
  EXPECT_EQ(ask("NULL 3\r"), "NACK NULL 3\r");
  EXPECT_EQ(ask("ID 1\r"), "ACK ID 1\r");
  EXPECT_EQ(ask("ID 0\r"), "NACK ID 0\r") << "the stored state could not be shown again";
  EXPECT_TRUE(messages().empty()) << "LED failures are not logged";
}

}  // namespace
