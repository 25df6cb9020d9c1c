// The daemon's side of the DSP mailbox and the parameter files, seen from the
// DSP stand-in, the settings folder and the log.

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "tests/appliance.h"

namespace {

std::string param_file(unsigned param) { return sim::dsp_param_path(param); }

std::string bytes(std::initializer_list<unsigned char> list) { return std::string(list.begin(), list.end()); }

// The stand-in's request log as text: "W6=fffc R6=fffc ...".
std::string traffic(DspStandin* dsp) {
  std::string text;
  char word[32];
  for (const DspRequest& request : dsp_standin_requests(dsp)) {
    snprintf(word, sizeof word, "%s%c%u=%x", text.empty() ? "" : " ", request.direction != 0 ? 'W' : 'R',
             static_cast<unsigned>(request.param), static_cast<unsigned>(request.value));
    text += word;
  }
  return text;
}

// A verified write as the stand-in sees it.
std::string written(unsigned param, unsigned dsp_value) {
  char text[48];
  snprintf(text, sizeof text, "W%u=%x R%u=%x", param, dsp_value, param, dsp_value);
  return text;
}

using DspStore = Appliance;

TEST_F(DspStore, StartupRestoresTheFilesInOrderAndStoresParameter13) {
  for (unsigned param = 1; param < 14; ++param) box->write_file(param_file(param), bytes({static_cast<unsigned char>(param), 0}));
  box->write_file(param_file(0), bytes({1}));                // too short: refused
  box->write_file(param_file(6), bytes({0xFD, 0xFF}));       // gain -3
  box->write_file(param_file(14), bytes({0x34, 0x12, 0x99}));  // no command writes it; extra bytes ignored
  start();
  ASSERT_EQ(ask("VERSION\r"), "ACK VERSION 1.0.0-sim\r");  // start-up is over once it serves

  const std::string expected = written(1, 1) + " " + written(2, 2) + " " + written(3, 3) + " " + written(4, 4) + " " +
                               written(5, 6) + " " + written(6, 0xfffc) + " " + written(7, 6) + " " +
                               written(11, 11) + " " + written(12, 24) + " " + written(13, 13) + " " +
                               written(14, 0x1234) + " " + written(13, 5629);
  EXPECT_EQ(traffic(dsp), expected);
  EXPECT_EQ(box->read_file(param_file(13)), bytes({0xFD, 0x15}));
  EXPECT_EQ(box->read_file(param_file(0)), bytes({1}));
  EXPECT_EQ(box->read_file(param_file(8)), bytes({8, 0}));
  EXPECT_TRUE(messages().empty());
}

TEST_F(DspStore, SettingsSurviveARestart) {
  start();
  ASSERT_EQ(ask("EQ 1 -3\r"), "ACK EQ 1 -3\r");
  EXPECT_EQ(box->read_file(param_file(3)), bytes({0x01, 0x00}));
  EXPECT_EQ(box->read_file(param_file(6)), bytes({0xFD, 0xFF}));

  ASSERT_TRUE(box->kill_daemon());
  dsp_standin_set_value(dsp, 3, 0);
  dsp_standin_set_value(dsp, 6, 0);
  dsp_standin_set_value(dsp, 13, 0);
  dsp_standin_clear_requests(dsp);
  start();
  ASSERT_EQ(ask("VERSION\r"), "ACK VERSION 1.0.0-sim\r");
  EXPECT_EQ(traffic(dsp), written(3, 1) + " " + written(6, 0xfffc) + " " + written(13, 5629) + " " + written(13, 5629));
  EXPECT_EQ(ask("EQ 1\r"), "ACK EQ 1 -3\r");
}

TEST_F(DspStore, DspFailuresAreLoggedAndLeaveTheFileAlone) {
  start();
  box->write_file(param_file(0), bytes({0, 0}));

  dsp_standin_set_fault(dsp, 0, DspFault::readback_differs);
  EXPECT_EQ(ask("TRACKING 1\r"), "NACK TRACKING 1\r");
  EXPECT_TRUE(box->wait_log("param not set correctly, tmp=2 val=1\n", 3s));
  dsp_standin_set_fault(dsp, 6, DspFault::readback_differs);
  EXPECT_EQ(ask("EQ 1 -3\r"), "NACK EQ 1 -3\r");  // compared in the DSP's form
  EXPECT_TRUE(box->wait_log("param not set correctly, tmp=fffd val=fffc\n", 3s));
  EXPECT_FALSE(box->exists(param_file(6)));

  dsp_standin_set_fault(dsp, 0, DspFault::error_code, 0x8001);
  EXPECT_EQ(ask("TRACKING\r"), "NACK TRACKING\r");
  EXPECT_TRUE(box->wait_log("mailbox error (32769)\n", 3s));

  dsp_standin_set_fault(dsp, 0, DspFault::hang);
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(box->request("TRACKING 1\r", 10s).value_or("<no reply>"), "NACK TRACKING 1\r");
  EXPECT_GE(std::chrono::steady_clock::now() - asked, 900ms) << "gives up only after about a second";
  EXPECT_TRUE(box->wait_log("timed out waiting for transfer complete\n", 3s));
  EXPECT_EQ(box->read_file(param_file(0)), bytes({0, 0}));

  // A DSP that answers again is served again.
  dsp_standin_set_fault(dsp, 0, DspFault::none);
  EXPECT_EQ(ask("TRACKING 1\r"), "ACK TRACKING 1\r");
  EXPECT_EQ(box->read_file(param_file(0)), bytes({1, 0}));
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
  EXPECT_EQ(dsp_standin_value(dsp, 0), 1);
  EXPECT_EQ(box->read_file(param_file(0)), bytes({0, 0}));
  EXPECT_TRUE(messages().empty());
}

// Without the window the daemon cannot store parameter 13 and ends, silently.
TEST_F(DspStore, WithoutTheDspWindowTheDaemonEndsAtStartup) {
  box->set_mode(kPhysicalMemoryPath, 0);
  std::string error;
  ASSERT_TRUE(box->start_daemon({"notest"}, &error)) << error;
  const std::optional<int> status = box->wait_daemon_exit(10s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, (-EACCES) & 0xFF);
  EXPECT_TRUE(messages().empty());
  EXPECT_FALSE(box->exists(param_file(13)));
  EXPECT_TRUE(dsp_standin_requests(dsp).empty());
}

// A window that could not be mapped is tried again at the next access. The
// parameter 1 file is a pipe, so the daemon waits in its restore until the
// window has been made accessible.
TEST_F(DspStore, AFailedMappingIsRetriedOnTheNextAccess) {
  struct stat window {};
  ASSERT_EQ(stat(box->host_path(kPhysicalMemoryPath).c_str(), &window), 0);
  box->set_mode(kPhysicalMemoryPath, 0);
  box->write_file(param_file(0), bytes({0, 0}));
  const std::string pipe_path = box->host_path(param_file(1));
  ASSERT_EQ(mkfifo(pipe_path.c_str(), 0666), 0);
  std::string error;
  ASSERT_TRUE(box->start_daemon({"notest"}, &error)) << error;

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
  ASSERT_EQ(ask("VERSION\r"), "ACK VERSION 1.0.0-sim\r");
  EXPECT_EQ(traffic(dsp), written(1, 0) + " " + written(13, 5629));
  EXPECT_TRUE(messages().empty());
}

}  // namespace
