// DEFAULTS: factory audio settings, colours and null mask.

#include "tests/appliance.h"

namespace {

std::string le16(int value) {
  return std::string{static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF)};
}

class Defaults : public Appliance {
 protected:
  void SetUp() override {
    Appliance::SetUp();
    start();
  }
  std::string file(const std::string& name) const { return box->read_file(std::string(kSettingsFolder) + "/" + name); }
};

TEST_F(Defaults, ResetsAudioColoursAndMaskAndForgetsTwoFiles) {
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

  const std::pair<int, int> kept[] = {{0, 1}, {1, 1}, {2, 0}, {3, 0}, {4, 0}, {5, 0},
                                      {6, 0}, {7, 0}, {11, 0}, {12, 0}, {13, 5629}};
  for (const auto& [param, value] : kept) {
    EXPECT_EQ(file("dspparam" + std::to_string(param)), le16(value)) << "parameter " << param;
  }
  EXPECT_EQ(file("nullcolour"), std::string("\xEA\x7B\x00\x00\xFF\x00", 6));

  // Every channel in the active colour; the flags stay as they were, so a
  // channel whose red was switched on shows it, one whose green is off is dark.
  EXPECT_EQ(ask("GRGB 3\r"), "ACK GRGB 2 CH3 0 255 0\r");
  EXPECT_EQ(ask("GRGB 8\r"), "ACK GRGB 2 CH8 0 0 0\r");
  EXPECT_EQ(box->read_file(sim::brightness_path(8, 'g')), "0");
  EXPECT_EQ(box->read_file(sim::brightness_path(9, 'g')), "255");
}

TEST_F(Defaults, StopsAtTheFirstDspFailure) {
  ask("APT 2\r");
  ask("ACTNULCOL 1 2 3 4 5 6\r");
  box->write_file(kMasterIpPath, "192.0.2.1\n");
  dsp_standin_set_fault(dsp, 2, DspFault::error_code, 9);  // APT enable, third in line
  dsp_standin_clear_requests(dsp);

  EXPECT_EQ(ask("DEFAULTS\r"), "NACK DEFAULTS\r");
  std::vector<unsigned> written;
  for (const DspRequest& request : dsp_standin_requests(dsp)) {
    if (request.direction == 1) written.push_back(request.param);
  }
  EXPECT_EQ(written, (std::vector<unsigned>{0, 1, 2}));
  EXPECT_TRUE(box->exists(kMasterIpPath));
  EXPECT_EQ(ask("ACTNULCOL\r"), "ACK ACTNULCOL 1 2 3 4 5 6\r");
  EXPECT_EQ(file("dspparam11"), le16(1)) << "the APT mode is left alone";
  EXPECT_EQ(ask("DEFAULTS 1\r"), "NACK DEFAULTS 1\r");
}

}  // namespace
