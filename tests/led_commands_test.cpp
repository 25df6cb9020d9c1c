// STS, STSB, SRGB and the three reports, seen from the network.

#include "tests/appliance.h"

namespace {

class LedCommands : public StartedAppliance {
 protected:
  // Every request here must be refused, and change nothing.
  void expect_refused_unchanged(const std::vector<std::string>& requests) {
    const std::string gts = ask("GTS 0\r"), gtsb = ask("GTSB 0\r");
    expect_refused(requests);
    EXPECT_EQ(ask("GTS 0\r"), gts);
    EXPECT_EQ(ask("GTSB 0\r"), gtsb);
  }
};

// The header and one group per channel 1-16 (given "CHn" and whether the
// channel has an LED, so is on and green by default), then CR.
std::string report(const std::string& header, std::string (*group)(const std::string&, bool)) {
  std::string text = header;
  for (int c = 1; c <= 16; ++c) text += group("CH" + std::to_string(c), c <= kLedCount);
  return text + "\r";
}

std::string default_flags(const std::string& ch, bool led) {
  const std::string on = led ? "1" : "0";
  return " " + ch + "R=" + on + " " + ch + "G=" + on + " " + ch + "B=" + on + " " + ch + "SC=0";
}

std::string default_percent(const std::string& ch, bool led) {
  return " " + ch + "R=0 " + ch + "G=" + (led ? "100 " : "0 ") + ch + "B=0 " + ch + "SC=0";
}

std::string default_colour(const std::string& ch, bool led) {
  return " " + ch + (led ? " 0 255 0" : " 0 0 0");
}

TEST_F(LedCommands, ReportsListTheSelectedChannels) {
  EXPECT_EQ(ask("GTS 0\r"), report("ACK GTS 0", default_flags));
  EXPECT_EQ(ask("GTSB 0\r"), report("ACK GTSB 0", default_percent));
  EXPECT_EQ(ask("GRGB 0\r"), report("ACK GRGB 0", default_colour));

  EXPECT_EQ(ask("GRGB 7\r"), "ACK GRGB 2 CH7 0 255 0\r");
  EXPECT_EQ(ask("GTSB 7\r"), "ACK GTSB 7 CH7R=0 CH7G=100 CH7B=0 CH7SC=0\r");
  // A channel that exists nowhere gives the bare header.
  EXPECT_EQ(ask("GRGB 20\r"), "ACK GRGB 2\r");
  EXPECT_EQ(ask("GTS 20\r"), "ACK GTS 20\r");
  EXPECT_EQ(ask("GTSB -3\r"), "ACK GTSB -3\r");
  EXPECT_EQ(ask("GTS x\r"), report("ACK GTS 0", default_flags));
}

TEST_F(LedCommands, MalformedRequestsAreRefusedAndChangeNothing) {
  expect_refused_unchanged({"GTS\r", "GTS 1 2\r", "GTSB\r", "GRGB\r", "GRGB 1 2\r"});
  expect_refused_unchanged({"STS 3 G=01\r", "STS 17 R=1\r", "STS -1 R=1\r", "STS 3 r=1\r",
                            "STS 3 X=1\r", "STS 3 G=2\r", "STS 3 G:1\r", "STS 3 G=\r", "STS 3\r",
                            "STS 3 G=1 1\r", "STS 0 Q=0\r"});
  expect_refused_unchanged({"STSB 5 B=55\r", "STSB 5 B=110\r", "STSB 5 B=-10\r", "STSB 5 B50\r",
                            "STSB 5 X=50\r", "STSB 5 b=50\r", "STSB 17 R=50\r", "STSB -1 R=50\r",
                            "STSB 5 B\r", "STSB 5\r", "STSB 5 B=50 1\r"});
  expect_refused_unchanged({"SRGB 1 2 3\r", "SRGB\r", "SRGB 1 2 3 4 5\r"});
}

TEST_F(LedCommands, StsSwitchesOneComponent) {
  EXPECT_EQ(ask("STS 0 G=0\r"), "ACK STS 0 G=0\r");
  EXPECT_EQ(led_colours(), every_led("0 0 0"));
  EXPECT_EQ(ask("GRGB 4\r"), "ACK GRGB 2 CH4 0 0 0\r");
  EXPECT_EQ(ask("GTSB 0\r"), report("ACK GTSB 0", default_percent)) << "levels stay";
  EXPECT_EQ(ask("GTS 4\r"), "ACK GTS 4 CH4R=1 CH4G=0 CH4B=1 CH4SC=0\r");

  EXPECT_EQ(ask("STS 3 G=1\r"), "ACK STS 3 G=1\r");
  std::vector<std::string> expected = every_led("0 0 0");
  expected[2] = "0 255 0";
  EXPECT_EQ(led_colours(), expected);
  EXPECT_EQ(ask("STS 16 B=0\r"), "ACK STS 16 B=0\r");
  EXPECT_EQ(ask("STS 016 B=1\r"), "ACK STS 016 B=1\r");
  EXPECT_EQ(ask("GTS 16\r"), "ACK GTS 16 CH16R=0 CH16G=0 CH16B=1 CH16SC=0\r");
}

TEST_F(LedCommands, StsbSetsLevelsInTenPercentStepsAndLeavesTheFlags) {
  const int levels[] = {0, 25, 50, 75, 100, 125, 150, 175, 200, 225, 255};
  for (int percent = 0; percent <= 100; percent += 10) {
    const std::string request = "STSB 6 R=" + std::to_string(percent) + "\r";
    ASSERT_EQ(ask(request), "ACK " + request);
    EXPECT_EQ(ask("GRGB 6\r"),
              "ACK GRGB 2 CH6 " + std::to_string(levels[percent / 10]) + " 255 0\r");
  }
  EXPECT_EQ(led_colour(6), "117 255 0");

  EXPECT_EQ(ask("STSB 1 G=\r"), "ACK STSB 1 G=\r") << "an empty percentage reads 0";
  EXPECT_EQ(ask("STSB 2 B=50x\r"), "ACK STSB 2 B=50x\r");
  EXPECT_EQ(ask("STSB 5 B=100\r"), "ACK STSB 5 B=100\r");
  EXPECT_EQ(ask("GTSB 5\r"), "ACK GTSB 5 CH5R=0 CH5G=100 CH5B=100 CH5SC=0\r");
  EXPECT_EQ(ask("GRGB 1\r"), "ACK GRGB 2 CH1 0 0 0\r");
  EXPECT_EQ(ask("GRGB 2\r"), "ACK GRGB 2 CH2 0 255 125\r");
  EXPECT_EQ(led_colour(5), "0 255 175");

  // A switched-off component keeps dark.
  EXPECT_EQ(ask("STS 7 R=0\r"), "ACK STS 7 R=0\r");
  EXPECT_EQ(ask("STSB 7 R=100\r"), "ACK STSB 7 R=100\r");
  EXPECT_EQ(ask("GRGB 7\r"), "ACK GRGB 2 CH7 0 255 0\r");
  EXPECT_EQ(ask("GTSB 7\r"), "ACK GTSB 7 CH7R=100 CH7G=100 CH7B=0 CH7SC=0\r");
}

TEST_F(LedCommands, GtsbReportsTheTenPercentStepBelowButFullFrom250) {
  ASSERT_EQ(ask("SRGB 8 24 25 249\r"), "ACK SRGB 8 24 25 249\r");
  EXPECT_EQ(ask("GTSB 8\r"), "ACK GTSB 8 CH8R=0 CH8G=10 CH8B=90 CH8SC=0\r");
  ASSERT_EQ(ask("SRGB 8 250 254 224\r"), "ACK SRGB 8 250 254 224\r");
  EXPECT_EQ(ask("GTSB 8\r"), "ACK GTSB 8 CH8R=100 CH8G=100 CH8B=80 CH8SC=0\r");
  ASSERT_EQ(ask("SRGB 8 0 0 255\r"), "ACK SRGB 8 0 0 255\r");
  EXPECT_EQ(ask("GTSB 8\r"), "ACK GTSB 8 CH8R=0 CH8G=0 CH8B=100 CH8SC=0\r");
}

TEST_F(LedCommands, SrgbSetsAColourAndSwitchesItOn) {
  EXPECT_EQ(ask("STS 2 R=0\r"), "ACK STS 2 R=0\r");
  EXPECT_EQ(ask("SRGB 2 255 0 0\r"), "ACK SRGB 2 255 0 0\r");
  EXPECT_EQ(ask("GRGB 2\r"), "ACK GRGB 2 CH2 255 0 0\r");
  EXPECT_EQ(ask("GTS 2\r"), "ACK GTS 2 CH2R=1 CH2G=1 CH2B=1 CH2SC=0\r");
  EXPECT_EQ(led_colour(2), "117 0 0");
  EXPECT_EQ(ask("SRGB 4 100 100 100\r"), "ACK SRGB 4 100 100 100\r");
  EXPECT_EQ(led_colour(4), "46 100 68");

  // Channel 0 is every channel; channel 17 none, though acknowledged.
  EXPECT_EQ(ask("SRGB 0 1 2 3\r"), "ACK SRGB 0 1 2 3\r");
  EXPECT_EQ(ask("GRGB 0\r").substr(0, 30), "ACK GRGB 0 CH1 1 2 3 CH2 1 2 3");
  EXPECT_EQ(led_colours(), every_led("0 2 2"));
  const std::string before = ask("GRGB 0\r");
  EXPECT_EQ(ask("SRGB 17 9 9 9\r"), "ACK SRGB 17 9 9 9\r");
  EXPECT_EQ(ask("GRGB 0\r"), before);
}

TEST_F(LedCommands, SrgbKeepsTheLowEightBitsOfEachValue) {
  EXPECT_EQ(ask("SRGB 2 300 0 0\r"), "ACK SRGB 2 300 0 0\r");
  EXPECT_EQ(ask("GRGB 2\r"), "ACK GRGB 2 CH2 44 0 0\r");
  EXPECT_EQ(led_colour(2), "20 0 0");
  EXPECT_EQ(ask("SRGB 5 -1 256 1x\r"), "ACK SRGB 5 -1 256 1x\r");
  EXPECT_EQ(ask("GRGB 5\r"), "ACK GRGB 2 CH5 255 0 1\r");
}

TEST_F(LedCommands, Channel16IsKeptButDrivesNoLed) {
  const std::vector<std::string> leds = led_colours();
  EXPECT_EQ(ask("SRGB 16 1 2 3\r"), "ACK SRGB 16 1 2 3\r");
  EXPECT_EQ(ask("STSB 16 G=50\r"), "ACK STSB 16 G=50\r");
  EXPECT_EQ(led_colours(), leds);
  EXPECT_EQ(ask("GRGB 16\r"), "ACK GRGB 2 CH16 1 125 3\r");
  EXPECT_EQ(ask("GTS 16\r"), "ACK GTS 16 CH16R=1 CH16G=1 CH16B=1 CH16SC=0\r");
  EXPECT_EQ(ask("GTSB 16\r"), "ACK GTSB 16 CH16R=0 CH16G=50 CH16B=0 CH16SC=0\r");
  const std::string file = box->read_file(kLedStatePath);
  ASSERT_EQ(file.size(), kLedImageSize);
  EXPECT_EQ(file.substr(led_flag_at(16, 0), 3), bytes({1, 1, 1})) << "flags of channel 16";
  EXPECT_EQ(file.substr(led_level_at(16, 0), 3), bytes({1, 125, 3})) << "levels of channel 16";
}

TEST_F(LedCommands, LongEchoesAreCutToTheReplyBuffer) {
  // The largest datagram there is: its acknowledgement would be 2051
  // characters and is cut to the 2047 the reply buffer holds.
  const std::string tail = "3 R=1\r";
  const std::string request = "STS " + std::string(2047 - 4 - tail.size(), '0') + tail;
  ASSERT_EQ(request.size(), 2047u);
  const std::string whole = "ACK " + request;
  EXPECT_EQ(ask(request), whole.substr(0, 2047));
  EXPECT_EQ(ask("GTS 3\r"), "ACK GTS 3 CH3R=1 CH3G=1 CH3B=1 CH3SC=0\r");

  const std::string colour = "SRGB 1 2 3 " + std::string(2047 - 11 - 2, '0') + "4\r";
  ASSERT_EQ(colour.size(), 2047u);
  EXPECT_EQ(ask(colour), ("ACK " + colour).substr(0, 2047));
  EXPECT_EQ(ask("GRGB 1\r"), "ACK GRGB 2 CH1 2 3 4\r");
  EXPECT_EQ(ask("VERSION\r"), kVersionAck);
}

}  // namespace
