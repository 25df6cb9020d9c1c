// TRACKING, NOISESUP, NOISERED, APT, EQ, DSPSTATUS and MICTEST against the
// DSP stand-in (values in its table are in the DSP's form).

#include "tests/appliance.h"

namespace {

class AudioCommands : public StartedAppliance {
 protected:
  DspStandinConfig dsp_config() const override {
    DspStandinConfig config;
    config.mictest_ms = 300;
    config.mictest_result = 0x0042;
    return config;
  }
};

TEST_F(AudioCommands, TrackingAndNoiseSwitchAndReport) {
  EXPECT_EQ(ask("TRACKING 0\r"), "ACK TRACKING 0\r");
  EXPECT_EQ(dsp_value(DSP_TRACKING), 0);
  EXPECT_EQ(ask("TRACKING 1\r"), "ACK TRACKING 1\r");
  EXPECT_EQ(ask("TRACKING\r"), "ACK TRACKING 1\r");
  EXPECT_EQ(param_file(DSP_TRACKING), le16(1));

  // Both commands address the one noise parameter.
  EXPECT_EQ(ask("NOISESUP 1\r"), "ACK NOISESUP 1\r");
  EXPECT_EQ(ask("NOISERED\r"), "ACK NOISERED 1\r");
}

TEST_F(AudioCommands, SwitchesTakeZeroOrOneAndReadNoDigitsAsZero) {
  expect_refused({"TRACKING 2\r", "TRACKING -1\r", "TRACKING 1 1\r", "NOISESUP 4294967297\r"});
  EXPECT_EQ(dsp_value(DSP_TRACKING), 1);
  EXPECT_EQ(ask("TRACKING x\r"), "ACK TRACKING 0\r");
  EXPECT_EQ(dsp_value(DSP_TRACKING), 0);
}

TEST_F(AudioCommands, ReadsReportWhateverTheDspHoldsUnsigned) {
  dsp_standin_set_value(dsp, DSP_TRACKING, 0xFFFF);
  EXPECT_EQ(ask("TRACKING\r"), "ACK TRACKING 65535\r");
  dsp_standin_set_value(dsp, DSP_STATUS, 0xBEEF);
  EXPECT_EQ(ask("DSPSTATUS\r"), "ACK DSPSTATUS 48879\r");
  // APT reports the mode one up.
  dsp_standin_set_value(dsp, DSP_APT_ENABLE, 1);
  dsp_standin_set_value(dsp, DSP_APT_MODE, 0xFFFF);
  EXPECT_EQ(ask("APT\r"), "ACK APT 65536\r");
}

TEST_F(AudioCommands, AptOffKeepsTheMode) {
  EXPECT_EQ(ask("APT 3\r"), "ACK APT 3\r");
  EXPECT_EQ(dsp_value(DSP_APT_ENABLE), 1);
  EXPECT_EQ(dsp_value(DSP_APT_MODE), 2);
  EXPECT_EQ(ask("APT\r"), "ACK APT 3\r");
  EXPECT_EQ(ask("APT 0\r"), "ACK APT 0\r");
  EXPECT_EQ(ask("APT\r"), "ACK APT 0\r");
  EXPECT_EQ(dsp_value(DSP_APT_MODE), 2);
  EXPECT_EQ(param_file(DSP_APT_MODE), le16(2));
  EXPECT_EQ(ask("APT 1\r"), "ACK APT 1\r");
  EXPECT_EQ(dsp_value(DSP_APT_MODE), 0);
  expect_refused({"APT 4\r", "APT -1\r", "APT 1 1\r"});
  EXPECT_EQ(ask("APT\r"), "ACK APT 1\r");
}

TEST_F(AudioCommands, EqReadsZeroWhileTheEqualizerIsOff) {
  dsp_standin_set_value(dsp, DSP_EQ_ENABLE, 0);
  dsp_standin_set_value(dsp, DSP_EQ_BAND0, 7);  // gain 6
  EXPECT_EQ(ask("EQ 0\r"), "ACK EQ 0 0\r");
  dsp_standin_set_value(dsp, DSP_EQ_ENABLE, 1);
  EXPECT_EQ(ask("EQ 0\r"), "ACK EQ 0 6\r");
}

TEST_F(AudioCommands, EqSetsGainsFromMinusTwentyToSix) {
  // A band that does not exist: nothing is touched, not even the enable.
  dsp_standin_clear_requests(dsp);
  EXPECT_EQ(ask("EQ 3 0\r"), "NACK EQ 3 0\r");
  EXPECT_TRUE(dsp_standin_requests(dsp).empty());
  EXPECT_FALSE(box->exists(sim::dsp_param_path(DSP_EQ_ENABLE)));

  EXPECT_EQ(ask("EQ 1 -20\r"), "ACK EQ 1 -20\r");
  EXPECT_EQ(dsp_value(DSP_EQ_BAND1), 0xFFEB);
  EXPECT_EQ(ask("EQ 1\r"), "ACK EQ 1 -20\r");
  expect_refused({"EQ 1 -21\r", "EQ 1 7\r", "EQ 3\r", "EQ -1\r", "EQ\r", "EQ 1 1 1\r"});
  EXPECT_EQ(dsp_value(DSP_EQ_BAND1), 0xFFEB);
}

TEST_F(AudioCommands, EqGainsCountInSixteenBits) {
  EXPECT_EQ(ask("EQ 0 65535\r"), "ACK EQ 0 -1\r");
  EXPECT_EQ(dsp_value(DSP_EQ_BAND0), 0);
  EXPECT_EQ(param_file(DSP_EQ_BAND0), le16(0xFFFF));
  // What the DSP holds beyond the limits reads as the limit.
  dsp_standin_set_value(dsp, DSP_EQ_BAND1, 25);
  EXPECT_EQ(ask("EQ 1\r"), "ACK EQ 1 20\r");
}

TEST_F(AudioCommands, MicTestAnswersAfterElevenSeconds) {
  const Timed test = ask_timed("MICTEST\r");
  EXPECT_EQ(test.reply, "ACK MICTEST 66\r");
  EXPECT_GE(test.took, 11s);
  EXPECT_FALSE(box->exists(sim::dsp_param_path(DSP_MICTEST)));
}

TEST_F(AudioCommands, MicTestStillRunningIsRefused) {
  dsp_standin_set_fault(dsp, DSP_MICTEST, DspFault::test_never_finishes);
  const Timed test = ask_timed("MICTEST\r");
  EXPECT_EQ(test.reply, "NACK MICTEST\r");
  EXPECT_GE(test.took, 11s);
  EXPECT_TRUE(messages().empty());
}

TEST_F(AudioCommands, MicTestThatDoesNotStartIsRefusedAtOnce) {
  dsp_standin_set_fault(dsp, DSP_MICTEST, DspFault::readback_differs);
  const Timed test = ask_timed("MICTEST\r");
  EXPECT_EQ(test.reply, "NACK MICTEST\r");
  EXPECT_LT(test.took, 8s) << "no eleven-second wait";
  EXPECT_TRUE(box->wait_log(logged(kLogParamNotSet, 2u, 1u), 3s));
}

}  // namespace
