// The daemon's side of the DSP mailbox and the parameter files, seen from the
// DSP stand-in, the settings folder and the log.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <thread>

#include "tests/appliance.h"

namespace {

using sim::dsp_param_path;

// The stand-in's request log as text: "W6=fffc R6=fffc ...".
std::string traffic(DspStandin* dsp) {
  std::string text;
  char word[32];
  for (const DspRequest& request : dsp_standin_requests(dsp)) {
    snprintf(word, sizeof word, "%s%c%u=%x", text.empty() ? "" : " ",
             request.direction == kDspDirectionWrite ? 'W' : 'R',
             static_cast<unsigned>(request.param), static_cast<unsigned>(request.value));
    text += word;
  }
  return text;
}

// Verified writes as the stand-in sees them, each as (parameter, DSP value).
std::string written(std::initializer_list<std::pair<unsigned, unsigned>> writes) {
  std::string text;
  char pair[48];
  for (const auto& [param, value] : writes) {
    snprintf(pair, sizeof pair, "%sW%u=%x R%u=%x", text.empty() ? "" : " ", param, value, param,
             value);
    text += pair;
  }
  return text;
}

// Stored at every start, in the DSP's form as in its file.
constexpr unsigned kParam13 = 5629;

using DspStore = Appliance;

TEST_F(DspStore, StartupRestoresTheFilesInOrderAndStoresParameter13) {
  for (unsigned param = 1; param < DSP_PARAM_14; ++param) {
    box->write_file(dsp_param_path(param), bytes({static_cast<int>(param), 0}));
  }
  box->write_file(dsp_param_path(DSP_TRACKING), bytes({1}));  // too short: refused
  box->write_file(dsp_param_path(DSP_EQ_BAND1), le16(-3));
  // No command writes parameter 14; extra bytes are ignored.
  box->write_file(dsp_param_path(DSP_PARAM_14), bytes({0x34, 0x12, 0x99}));
  start();

  // The mic test parameters (8 and 9) and the status (10) are not restored;
  // the gains and the mask are written in the DSP's form.
  EXPECT_EQ(traffic(dsp), written({{1, 1},
                                   {2, 2},
                                   {3, 3},
                                   {4, 4},
                                   {5, 6},
                                   {6, 0xfffc},
                                   {7, 6},
                                   {11, 11},
                                   {12, 24},
                                   {13, 13},
                                   {14, 0x1234},
                                   {13, kParam13}}));
  EXPECT_EQ(param_file(DSP_PARAM_13), le16(kParam13));
  EXPECT_EQ(param_file(DSP_TRACKING), bytes({1}));
  EXPECT_EQ(param_file(DSP_MICTEST), bytes({8, 0}));
  EXPECT_TRUE(messages().empty());
}

TEST_F(DspStore, SettingsSurviveARestart) {
  start();
  ASSERT_EQ(ask("EQ 1 -3\r"), "ACK EQ 1 -3\r");
  EXPECT_EQ(param_file(DSP_EQ_ENABLE), le16(1));
  EXPECT_EQ(param_file(DSP_EQ_BAND1), le16(-3));

  ASSERT_TRUE(box->kill_daemon());
  for (const unsigned param : {DSP_EQ_ENABLE, DSP_EQ_BAND1, DSP_PARAM_13}) {
    dsp_standin_set_value(dsp, param, 0);
  }
  dsp_standin_clear_requests(dsp);
  start();
  EXPECT_EQ(traffic(dsp), written({{3, 1}, {6, 0xfffc}, {13, kParam13}, {13, kParam13}}));
  EXPECT_EQ(ask("EQ 1\r"), "ACK EQ 1 -3\r");
}

TEST_F(DspStore, DspFailuresAreLoggedAndLeaveTheFileAlone) {
  start();
  box->write_file(dsp_param_path(DSP_TRACKING), le16(0));

  dsp_standin_set_fault(dsp, DSP_TRACKING, DspFault::readback_differs);
  EXPECT_EQ(ask("TRACKING 1\r"), "NACK TRACKING 1\r");
  EXPECT_TRUE(box->wait_log(logged(kLogParamNotSet, 2u, 1u), 3s));
  dsp_standin_set_fault(dsp, DSP_EQ_BAND1, DspFault::readback_differs);
  EXPECT_EQ(ask("EQ 1 -3\r"), "NACK EQ 1 -3\r");  // compared in the DSP's form
  EXPECT_TRUE(box->wait_log(logged(kLogParamNotSet, 0xfffdu, 0xfffcu), 3s));
  EXPECT_FALSE(box->exists(dsp_param_path(DSP_EQ_BAND1)));

  dsp_standin_set_fault(dsp, DSP_TRACKING, DspFault::error_code, 0x8001);
  EXPECT_EQ(ask("TRACKING\r"), "NACK TRACKING\r");
  EXPECT_TRUE(box->wait_log(logged(kLogMailboxError, 32769), 3s));

  dsp_standin_set_fault(dsp, DSP_TRACKING, DspFault::hang);
  const Timed hung = ask_timed("TRACKING 1\r", 10s);
  EXPECT_EQ(hung.reply, "NACK TRACKING 1\r");
  EXPECT_GE(hung.took, 900ms) << "gives up only after about a second";
  EXPECT_TRUE(box->wait_log(logged(kLogTransferTimeout), 3s));
  EXPECT_EQ(param_file(DSP_TRACKING), le16(0));

  // A DSP that answers again is served again.
  dsp_standin_set_fault(dsp, DSP_TRACKING, DspFault::none);
  EXPECT_EQ(ask("TRACKING 1\r"), "ACK TRACKING 1\r");
  EXPECT_EQ(param_file(DSP_TRACKING), le16(1));
  EXPECT_EQ(messages().size(), 4u);
}

TEST_F(DspStore, AFileThatCannotBeWrittenIsRefusedAfterTheDspTookTheValue) {
  start();
  ASSERT_EQ(ask("TRACKING 0\r"), "ACK TRACKING 0\r");
  struct stat folder {};
  ASSERT_EQ(stat(box->host_path(kSettingsFolder).c_str(), &folder), 0);
  box->set_mode(kSettingsFolder, 0555);
  EXPECT_EQ(ask("TRACKING 1\r"), "NACK TRACKING 1\r");
  box->set_mode(kSettingsFolder, folder.st_mode & 07777);
  EXPECT_EQ(dsp_value(DSP_TRACKING), 1);
  EXPECT_EQ(param_file(DSP_TRACKING), le16(0));
  EXPECT_TRUE(messages().empty());
}

// Without the window the daemon cannot store parameter 13 and ends, silently.
TEST_F(DspStore, WithoutTheDspWindowTheDaemonEndsAtStartup) {
  box->set_mode(kPhysicalMemoryPath, 0);
  EXPECT_EQ(exit_status(), (-EACCES) & 0xFF);
  EXPECT_TRUE(messages().empty());
  EXPECT_FALSE(box->exists(dsp_param_path(DSP_PARAM_13)));
  EXPECT_TRUE(dsp_standin_requests(dsp).empty());
}

// A window that could not be mapped is tried again at the next access. The
// parameter 1 file is a pipe, so the daemon waits in its restore until the
// window has been made accessible.
TEST_F(DspStore, AFailedMappingIsRetriedOnTheNextAccess) {
  struct stat window {};
  ASSERT_EQ(stat(box->host_path(kPhysicalMemoryPath).c_str(), &window), 0);
  box->set_mode(kPhysicalMemoryPath, 0);
  box->write_file(dsp_param_path(DSP_TRACKING), le16(0));
  const std::string pipe_path = box->host_path(dsp_param_path(DSP_NOISE));
  ASSERT_EQ(mkfifo(pipe_path.c_str(), 0666), 0);
  launch();

  // The pipe opens once the daemon is past the restore of parameter 0.
  int fd = -1;
  for (int tries = 0; fd < 0 && tries < 1000; ++tries) {
    fd = open(pipe_path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd < 0) std::this_thread::sleep_for(10ms);
  }
  ASSERT_GE(fd, 0) << "the daemon never opened the parameter 1 file";
  box->set_mode(kPhysicalMemoryPath, window.st_mode & 07777);
  ASSERT_EQ(write(fd, "\0\0", 2), 2);
  close(fd);

  ASSERT_TRUE(box->wait_listening(30s));
  ASSERT_EQ(ask("VERSION\r"), kVersionAck);
  EXPECT_EQ(traffic(dsp), written({{1, 0}, {13, kParam13}}));
  EXPECT_TRUE(messages().empty());
}

}  // namespace
