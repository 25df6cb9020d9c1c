// The microphone test at start-up: a green flash when it passes, a red ramp
// and no service when it fails.

#include <algorithm>
#include <array>

#include "tests/appliance.h"

namespace {

class SelfTest : public Appliance {
 protected:
  // A mic test that is over at once: the daemon's read-back of its start
  // must still see it started.
  DspStandinConfig dsp_config() const override {
    DspStandinConfig config;
    config.mictest_ms = 0;
    return config;
  }
  int level(int led, char component) const {
    return std::stoi("0" + box->read_file(sim::brightness_path(led, component)));
  }
  // Samples LED 1's red level for a while.
  std::vector<int> red_samples(std::chrono::milliseconds span) const {
    std::vector<int> samples;
    const auto end = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < end) {
      samples.push_back(level(1, 'r'));
      std::this_thread::sleep_for(20ms);
    }
    return samples;
  }
  void expect_failure(const std::string& line) {
    EXPECT_TRUE(box->wait_log(line, 20s)) << "expected: " << line;
    const std::vector<int> red = red_samples(4s);
    int rises = 0;
    for (size_t i = 1; i < red.size(); ++i) rises += red[i] > red[i - 1];
    EXPECT_GT(rises, 10) << "a rising red ramp";
    EXPECT_GT(*std::max_element(red.begin(), red.end()), 30) << "red reaches well up the scale";
    EXPECT_EQ(level(1, 'g'), 0);
    EXPECT_FALSE(box->wait_listening(1s)) << "a failed test never opens the socket";
    EXPECT_EQ(messages(), std::vector<std::string>{line});
  }
};

TEST_F(SelfTest, PassingTestFlashesGreenThenShowsTheStoredState) {
  // A stored state that is not green, so the flash can be told apart.
  std::string state(kLedImageSize, '\0');
  for (int channel = 1; channel <= 16; ++channel) {
    state[led_flag_at(channel, 0)] = 1;
    state[led_level_at(channel, 0)] = static_cast<char>(200);
  }
  box->write_file(kLedStatePath, state);
  const auto started = std::chrono::steady_clock::now();
  launch({});
  bool flashed = false;
  while (!flashed && std::chrono::steady_clock::now() - started < 20s) {
    flashed = led_colours() == every_led("0 255 0");
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(flashed) << "no green flash";
  EXPECT_GE(std::chrono::steady_clock::now() - started, 10s) << "the test takes 11 seconds";
  ASSERT_TRUE(box->wait_listening(5s));
  EXPECT_EQ(led_colours(), every_led("92 0 0")) << "the stored state (red 200) follows the flash";
  EXPECT_EQ(ask("VERSION\r"), kVersionAck);
  EXPECT_TRUE(messages().empty());
}

TEST_F(SelfTest, FailingResultStopsStartUp) {
  dsp_standin_set_mictest(dsp, 500, 5);
  launch({});
  expect_failure(logged(kLogMicTestFailed, 0, 5));
}

TEST_F(SelfTest, UnfinishedTestStopsStartUp) {
  dsp_standin_set_fault(dsp, DSP_MICTEST, DspFault::test_never_finishes);
  launch({});
  expect_failure(logged(kLogMicTestFailed, 0, 1));
}

class SelfTestWithoutDsp : public SelfTest {
 protected:
  sim::SandboxOptions options() const override {
    sim::SandboxOptions without;
    without.dev_mem = false;
    return without;
  }
};

TEST_F(SelfTestWithoutDsp, UnreachableMailboxStopsStartUp) {
  launch({});
  expect_failure(logged(kLogMicTestFailed, -2, 0));
}

TEST_F(SelfTest, NotestSkipsTheTest) {
  start({"notest"});
  for (const DspRequest& request : dsp_standin_requests(dsp)) {
    EXPECT_NE(request.param, DSP_MICTEST) << "the mic test was started";
  }
}

}  // namespace
