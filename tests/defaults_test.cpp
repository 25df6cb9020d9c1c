// DEFAULTS: factory audio settings, colours and null mask.

#include "tests/appliance.h"

namespace {

using Defaults = StartedAppliance;

TEST_F(Defaults, ResetsAudioColoursAndMaskForgetsTwoFilesAndKeepsTheLedFlags) {
  for (const char* request : {"TRACKING 0\r", "NOISESUP 0\r", "APT 3\r", "EQ 2 -7\r", "NULL 4 9\r",
                              "ACTNULCOL 1 2 3 4 5 6\r", "STS 3 R=1\r", "STS 8 G=0\r"}) {
    ASSERT_EQ(ask(request).substr(0, 4), "ACK ") << request;
  }
  box->write_file(kMasterIpPath, "192.0.2.1\n");
  box->write_file(kNtpServerPath, "192.0.2.2\n");

  EXPECT_EQ(ask("DEFAULTS\r"), "ACK DEFAULTS\r");

  EXPECT_EQ(ask("TRACKING\r"), "ACK TRACKING 1\r");
  EXPECT_EQ(ask("NOISESUP\r"), "ACK NOISESUP 1\r");
  EXPECT_EQ(ask("APT\r"), "ACK APT 0\r");
  EXPECT_EQ(ask("EQ 2\r"), "ACK EQ 2 0\r");
  EXPECT_EQ(ask("NULL\r"), "ACK NULL 0\r");
  EXPECT_EQ(ask("ACTNULCOL\r"), "ACK ACTNULCOL 0 255 0 234 123 0\r");
  EXPECT_FALSE(box->exists(kMasterIpPath));
  EXPECT_FALSE(box->exists(kNtpServerPath));

  const std::pair<unsigned, int> kept[] = {
      {DSP_TRACKING, 1},   {DSP_NOISE, 1},     {DSP_APT_ENABLE, 0}, {DSP_EQ_ENABLE, 0},
      {DSP_NULL_COUNT, 0}, {DSP_EQ_BAND0, 0},  {DSP_EQ_BAND1, 0},   {DSP_EQ_BAND2, 0},
      {DSP_APT_MODE, 0},   {DSP_NULL_MASK, 0}, {DSP_PARAM_13, 5629}};
  for (const auto& [param, value] : kept) {
    EXPECT_EQ(param_file(param), le16(value)) << "parameter " << param;
  }
  EXPECT_EQ(box->read_file(kNullColourPath), bytes({234, 123, 0, 0, 255, 0}));

  // Every channel in the active colour; the flags stay as they were, so a
  // channel whose green is off is dark.
  EXPECT_EQ(ask("GRGB 3\r"), "ACK GRGB 2 CH3 0 255 0\r");
  EXPECT_EQ(ask("GRGB 8\r"), "ACK GRGB 2 CH8 0 0 0\r");
  EXPECT_EQ(led_colour(8), "0 0 0");
  EXPECT_EQ(led_colour(9), "0 255 0");
}

TEST_F(Defaults, StopsAtTheFirstDspFailure) {
  ask("APT 2\r");
  ask("ACTNULCOL 1 2 3 4 5 6\r");
  box->write_file(kMasterIpPath, "192.0.2.1\n");
  // The APT enable, third in line.
  dsp_standin_set_fault(dsp, DSP_APT_ENABLE, DspFault::error_code, 9);
  dsp_standin_clear_requests(dsp);

  EXPECT_EQ(ask("DEFAULTS\r"), "NACK DEFAULTS\r");
  EXPECT_EQ(dsp_writes(), (std::vector<unsigned>{DSP_TRACKING, DSP_NOISE, DSP_APT_ENABLE}));
  EXPECT_TRUE(box->exists(kMasterIpPath));
  EXPECT_EQ(ask("ACTNULCOL\r"), "ACK ACTNULCOL 1 2 3 4 5 6\r");
  EXPECT_EQ(param_file(DSP_APT_MODE), le16(1)) << "the APT mode is left alone";
}

}  // namespace
