// Nulled channels: what NULL, NULLMASK and ACTNULCOL answer, and what the
// LEDs, the DSP and the settings files then hold.

#include <sys/stat.h>

#include "tests/appliance.h"

namespace {

// As the brightness files hold them, after the LEDs' colour correction.
const std::string kActiveShown = "0 255 0";  // green
const std::string kNullShown = "107 123 0";  // 234, 123, 0
const std::string kRedShown = "117 0 0";
const std::string kBlueShown = "0 0 175";

using NullZones = StartedAppliance;

TEST_F(NullZones, NullNamesChannelsAndPaintsThem) {
  EXPECT_EQ(ask("NULL 3\r"), "ACK NULL 3\r");
  EXPECT_EQ(ask("NULL\r"), "ACK NULL 3\r");
  EXPECT_EQ(leds_showing(kNullShown), std::vector<int>{3});
  EXPECT_EQ(leds_showing(kActiveShown), leds_but({3}));
  // Channel 3 is DSP bit 4; one channel nulled.
  EXPECT_EQ(dsp_value(DSP_NULL_MASK), 0x0010);
  EXPECT_EQ(dsp_value(DSP_NULL_COUNT), 1);
  EXPECT_EQ(param_file(DSP_NULL_MASK), le16(0x0008));
  EXPECT_EQ(param_file(DSP_NULL_COUNT), le16(1));

  EXPECT_EQ(ask("NULL 7 3\r"), "ACK NULL 7 3\r");
  EXPECT_EQ(ask("NULL\r"), "ACK NULL 3 7\r") << "channels are listed in ascending order";
  EXPECT_EQ(leds_showing(kNullShown), (std::vector<int>{3, 7}));
  EXPECT_EQ(dsp_value(DSP_NULL_COUNT), 2);

  EXPECT_EQ(ask("NULL 3 3\r"), "ACK NULL 3 3\r");
  EXPECT_EQ(dsp_value(DSP_NULL_COUNT), 1);
  expect_refused({"NULL 0 7\r", "NULL 1 2 3\r"});
  EXPECT_EQ(ask("NULL\r"), "ACK NULL 3\r") << "a refused NULL changes nothing";
}

TEST_F(NullZones, NumbersThatNameNoChannelClearTheMask) {
  for (const std::string request : {"NULL 0\r", "NULL 16\r", "NULL -1\r"}) {
    ask("NULL 5\r");
    EXPECT_EQ(ask(request), "ACK " + request);
    EXPECT_EQ(ask("NULL\r"), "ACK NULL 0\r") << request;
    EXPECT_EQ(leds_showing(kActiveShown), leds_but({})) << request;
  }
}

TEST_F(NullZones, NullMaskTakesSixteenBitsWithAtMostTwoChannels) {
  EXPECT_EQ(ask("NULLMASK 6\r"), "ACK NULLMASK 6\r");
  EXPECT_EQ(leds_showing(kNullShown), (std::vector<int>{1, 2}));
  dsp_standin_clear_requests(dsp);
  expect_refused({"NULLMASK 14\r", "NULLMASK -1\r"});
  EXPECT_EQ(leds_showing(kNullShown), (std::vector<int>{1, 2})) << "a refused mask changes nothing";
  EXPECT_TRUE(dsp_standin_requests(dsp).empty());
  EXPECT_EQ(ask("NULLMASK\r"), "ACK NULLMASK 6\r");
  // Narrowed to 16 bits: 65542 is 6.
  EXPECT_EQ(ask("NULLMASK 65542\r"), "ACK NULLMASK 6\r");
  EXPECT_EQ(ask("NULLMASK 0\r"), "ACK NULLMASK 0\r");
  EXPECT_EQ(ask("NULLMASK 1 2\r"), "NACK NULLMASK 1 2\r");
}

TEST_F(NullZones, BitZeroCountsButPaintsNothingAndLandsOnChannelFifteen) {
  EXPECT_EQ(ask("NULLMASK 1\r"), "ACK NULLMASK 1\r");
  EXPECT_TRUE(leds_showing(kNullShown).empty());
  EXPECT_EQ(dsp_value(DSP_NULL_COUNT), 1);
  EXPECT_EQ(ask("NULLMASK\r"), "ACK NULLMASK 32768\r");
  EXPECT_EQ(ask("NULL\r"), "ACK NULL 15\r");
}

TEST_F(NullZones, ColoursAreStoredModuloAndRepaintTheRing) {
  EXPECT_EQ(ask("ACTNULCOL\r"), "ACK ACTNULCOL 0 255 0 234 123 0\r");
  ask("NULL 2\r");
  EXPECT_EQ(ask("ACTNULCOL 0 0 255 255 0 0\r"), "ACK ACTNULCOL 0 0 255 255 0 0\r");
  EXPECT_EQ(leds_showing(kRedShown), std::vector<int>{2});
  EXPECT_EQ(leds_showing(kBlueShown), leds_but({2}));
  EXPECT_EQ(box->read_file(kNullColourPath), bytes({255, 0, 0, 0, 0, 255}));

  EXPECT_EQ(ask("ACTNULCOL 256 -1 0 0 0 0\r"), "ACK ACTNULCOL 0 255 0 0 0 0\r");
  EXPECT_EQ(ask("ACTNULCOL 1 2 3\r"), "NACK ACTNULCOL 1 2 3\r");
  EXPECT_EQ(ask("ACTNULCOL\r"), "ACK ACTNULCOL 0 255 0 0 0 0\r");
}

TEST_F(NullZones, ColoursWithoutAPaintableMaskAreKeptButNotShown) {
  // The DSP holds a mask of three channels (its power-on value, or one that
  // another tool wrote), then one that cannot be read.
  for (const bool readable : {true, false}) {
    ASSERT_EQ(ask("ACTNULCOL 0 255 0 234 123 0\r"), "ACK ACTNULCOL 0 255 0 234 123 0\r");
    ask("NULL 4\r");
    if (readable) {
      dsp_standin_set_value(dsp, DSP_NULL_MASK, 0x0070);  // channels 3, 4 and 5
    } else {
      dsp_standin_set_fault(dsp, DSP_NULL_MASK, DspFault::error_code, 7);
    }
    dsp_standin_clear_requests(dsp);
    EXPECT_EQ(ask("ACTNULCOL 0 0 255 255 0 0\r"), "ACK ACTNULCOL 0 0 255 255 0 0\r");
    EXPECT_EQ(leds_showing(kNullShown), std::vector<int>{4}) << "the LEDs are left as they were";
    EXPECT_TRUE(dsp_writes().empty()) << "nothing is written to the DSP on a guess";
    EXPECT_EQ(box->read_file(kNullColourPath), bytes({255, 0, 0, 0, 0, 255}));
  }
}

TEST_F(NullZones, ChannelsSwitchedOffStayDark) {
  ask("STS 5 G=0\r");
  ask("NULL 6\r");
  EXPECT_EQ(led_colour(5), "0 0 0");
  EXPECT_EQ(ask("GTSB 5\r"), "ACK GTSB 5 CH5R=0 CH5G=100 CH5B=0 CH5SC=0\r");
}

TEST_F(NullZones, MaskThatTheDspRefusesIsReported) {
  dsp_standin_set_fault(dsp, DSP_NULL_MASK, DspFault::error_code, 3);
  expect_refused({"NULLMASK 8\r", "NULL 3\r", "NULL 3 5\r", "NULL\r"});
  EXPECT_TRUE(box->wait_log(logged(kLogMailboxError, 3), 3s));
  // The ring already shows the mask the DSP did not take; nothing is undone.
  EXPECT_EQ(leds_showing(kNullShown), (std::vector<int>{3, 5}));
}

TEST_F(NullZones, SettingsFilesThatCannotBeWrittenAreReportedAndTheRestIsDone) {
  // A folder in the way of the new file: that one file cannot be replaced.
  const auto block = [&](const std::string& name) {
    ASSERT_EQ(mkdir((box->host_path(name) + ".new").c_str(), 0755), 0);
  };
  block(kNullColourPath);
  EXPECT_EQ(ask("ACTNULCOL 0 0 255 255 0 0\r"), "NACK ACTNULCOL 0 0 255 255 0 0\r");
  EXPECT_EQ(ask("ACTNULCOL\r"), "ACK ACTNULCOL 0 0 255 255 0 0\r");
  EXPECT_EQ(leds_showing(kBlueShown), leds_but({})) << "the ring shows the new colours";

  box->write_file(kMasterIpPath, "192.0.2.1\n");
  EXPECT_EQ(ask("DEFAULTS\r"), "NACK DEFAULTS\r");
  EXPECT_FALSE(box->exists(kMasterIpPath));
  EXPECT_EQ(ask("ACTNULCOL\r"), "ACK ACTNULCOL 0 255 0 234 123 0\r");
  EXPECT_EQ(leds_showing(kActiveShown), leds_but({}));
  EXPECT_FALSE(box->exists(kNullColourPath));

  block(kLedStatePath);
  EXPECT_EQ(ask("NULL 7\r"), "NACK NULL 7\r");
  EXPECT_EQ(leds_showing(kNullShown), std::vector<int>{7});
  EXPECT_EQ(ask("NULL\r"), "ACK NULL 7\r") << "the DSP holds the mask";
  EXPECT_EQ(param_file(DSP_NULL_MASK), le16(0x0080));
  EXPECT_TRUE(messages().empty()) << "no new log lines";
}

using SavedColours = Appliance;

TEST_F(SavedColours, ColoursFileIsReadAtStart) {
  // A short file replaces what it holds and leaves the rest.
  box->write_file(kNullColourPath, std::string("\x01\x02\x03", 3));
  start();
  EXPECT_EQ(ask("ACTNULCOL\r"), "ACK ACTNULCOL 0 255 0 1 2 3\r");
  ASSERT_TRUE(box->kill_daemon());
  // A longer one counts with its first six bytes.
  box->write_file(kNullColourPath, "ABCDEFGH");
  start();
  EXPECT_EQ(ask("ACTNULCOL\r"), "ACK ACTNULCOL 68 69 70 65 66 67\r");
}

}  // namespace
