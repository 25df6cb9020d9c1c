// TRACKING, NOISESUP, NOISERED, APT, EQ, DSPSTATUS and MICTEST against the
// DSP stand-in (values in its table are in the DSP's form).

#include "tests/appliance.h"

namespace {

constexpr std::uint16_t kMicTestResult = 0x0042;

class AudioCommands : public Appliance {
 protected:
  void SetUp() override {
    Appliance::SetUp();
    start();
  }
  DspStandinConfig dsp_config() const override {
    DspStandinConfig config;
    config.mictest_ms = 300;
    config.mictest_result = kMicTestResult;
    return config;
  }
  std::uint16_t dsp_value(unsigned param) const { return dsp_standin_value(dsp, param); }
  std::string file(unsigned param) const { return box->read_file(sim::dsp_param_path(param)); }
  // The reply to a MICTEST-length request, and how long it took.
  std::string ask_slow(const std::string& datagram, std::chrono::steady_clock::duration* took) const {
    const auto asked = std::chrono::steady_clock::now();
    const std::string reply = box->request(datagram, 30s).value_or("<no reply>");
    *took = std::chrono::steady_clock::now() - asked;
    return reply;
  }
};

TEST_F(AudioCommands, OnOffCommandsAndStatus) {
  EXPECT_EQ(ask("TRACKING 0\r"), "ACK TRACKING 0\r");
  EXPECT_EQ(dsp_value(0), 0);
  EXPECT_EQ(ask("TRACKING 1\r"), "ACK TRACKING 1\r");
  EXPECT_EQ(ask("TRACKING\r"), "ACK TRACKING 1\r");
  EXPECT_EQ(file(0), std::string("\x01\x00", 2));

  // Both commands address the one noise parameter.
  EXPECT_EQ(ask("NOISESUP 1\r"), "ACK NOISESUP 1\r");
  EXPECT_EQ(ask("NOISERED\r"), "ACK NOISERED 1\r");

  for (const char* refused : {"TRACKING 2\r", "TRACKING -1\r", "TRACKING 1 1\r", "NOISESUP 4294967297\r"}) {
    EXPECT_EQ(ask(refused), "NACK " + std::string(refused));
  }
  EXPECT_EQ(dsp_value(0), 1);
  // No digits read as 0.
  EXPECT_EQ(ask("TRACKING x\r"), "ACK TRACKING 0\r");
  EXPECT_EQ(dsp_value(0), 0);
  // Whatever the DSP holds is reported unsigned.
  dsp_standin_set_value(dsp, 0, 0xFFFF);
  EXPECT_EQ(ask("TRACKING\r"), "ACK TRACKING 65535\r");
  dsp_standin_set_value(dsp, 10, 0xBEEF);
  EXPECT_EQ(ask("DSPSTATUS\r"), "ACK DSPSTATUS 48879\r");
  EXPECT_EQ(ask("DSPSTATUS 1\r"), "NACK DSPSTATUS 1\r");
  EXPECT_EQ(ask("MICTEST 1\r"), "NACK MICTEST 1\r");
}

TEST_F(AudioCommands, AptOffKeepsTheMode) {
  EXPECT_EQ(ask("APT 3\r"), "ACK APT 3\r");
  EXPECT_EQ(dsp_value(2), 1);
  EXPECT_EQ(dsp_value(11), 2);
  EXPECT_EQ(ask("APT\r"), "ACK APT 3\r");
  EXPECT_EQ(ask("APT 0\r"), "ACK APT 0\r");
  EXPECT_EQ(ask("APT\r"), "ACK APT 0\r");
  EXPECT_EQ(dsp_value(11), 2);
  EXPECT_EQ(file(11), std::string("\x02\x00", 2));
  EXPECT_EQ(ask("APT 1\r"), "ACK APT 1\r");
  EXPECT_EQ(dsp_value(11), 0);

  for (const char* refused : {"APT 4\r", "APT -1\r", "APT 1 1\r"}) {
    EXPECT_EQ(ask(refused), "NACK " + std::string(refused));
  }
  dsp_standin_set_value(dsp, 11, 0xFFFF);
  EXPECT_EQ(ask("APT\r"), "ACK APT 65536\r");
}

TEST_F(AudioCommands, EqGainsAndTheEnable) {
  dsp_standin_set_value(dsp, 3, 0);
  dsp_standin_set_value(dsp, 5, 7);  // gain 6, but the equalizer is off
  EXPECT_EQ(ask("EQ 0\r"), "ACK EQ 0 0\r");
  // A write to a band that does not exist touches nothing.
  dsp_standin_clear_requests(dsp);
  EXPECT_EQ(ask("EQ 3 0\r"), "NACK EQ 3 0\r");
  EXPECT_TRUE(dsp_standin_requests(dsp).empty());
  EXPECT_FALSE(box->exists("/media/data/mic-array/dspparam3"));
  EXPECT_EQ(ask("EQ 0\r"), "ACK EQ 0 0\r");
  dsp_standin_set_value(dsp, 3, 1);
  EXPECT_EQ(ask("EQ 0\r"), "ACK EQ 0 6\r");

  EXPECT_EQ(ask("EQ 1 -20\r"), "ACK EQ 1 -20\r");
  EXPECT_EQ(dsp_value(6), 0xFFEB);
  EXPECT_EQ(ask("EQ 1\r"), "ACK EQ 1 -20\r");
  for (const char* refused : {"EQ 1 -21\r", "EQ 1 7\r", "EQ 3\r", "EQ -1\r", "EQ\r", "EQ 1 1 1\r"}) {
    EXPECT_EQ(ask(refused), "NACK " + std::string(refused));
  }
  EXPECT_EQ(dsp_value(6), 0xFFEB);

  // The gain counts in 16 bits.
  EXPECT_EQ(ask("EQ 0 65535\r"), "ACK EQ 0 -1\r");
  EXPECT_EQ(dsp_value(5), 0);
  EXPECT_EQ(file(5), std::string("\xFF\xFF", 2));
  dsp_standin_set_value(dsp, 6, 25);
  EXPECT_EQ(ask("EQ 1\r"), "ACK EQ 1 20\r");
}

TEST_F(AudioCommands, MicTestAnswersAfterElevenSeconds) {
  std::chrono::steady_clock::duration took{};
  EXPECT_EQ(ask_slow("MICTEST\r", &took), "ACK MICTEST 66\r");
  EXPECT_GE(took, 11s);
  EXPECT_FALSE(box->exists(sim::dsp_param_path(DSP_MICTEST)));
}

TEST_F(AudioCommands, MicTestStillRunningIsRefused) {
  dsp_standin_set_fault(dsp, 8, DspFault::test_never_finishes);
  std::chrono::steady_clock::duration took{};
  EXPECT_EQ(ask_slow("MICTEST\r", &took), "NACK MICTEST\r");
  EXPECT_GE(took, 11s);
  EXPECT_TRUE(messages().empty());
}

TEST_F(AudioCommands, MicTestThatDoesNotStartIsRefusedAtOnce) {
  dsp_standin_set_fault(dsp, 8, DspFault::readback_differs);
  std::chrono::steady_clock::duration took{};
  EXPECT_EQ(ask_slow("MICTEST\r", &took), "NACK MICTEST\r");
  EXPECT_LT(took, 8s) << "no eleven-second wait";
  EXPECT_TRUE(box->wait_log("param not set correctly, tmp=2 val=1\n", 3s));
}

}  // namespace
