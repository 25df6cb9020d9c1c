// orvo-sim end to end: the real simulator on this host's UDP port 49494,
// driven the way a developer drives it (a terminal under tmux, the client
// from another shell, Ctrl-C), and its command line.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/platform.h"
#include "protocol/protocol.h"
#include "sim/options.h"
#include "sim/process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kSim = ORVO_SIM_PATH;
const std::string kClient = ORVO_UDPC_PATH;
constexpr int kPort = orvo::kControlPort;

// ---- The command line ----

sim::SimOptions parsed(const std::vector<std::string>& args) {
  std::string error;
  const std::optional<sim::SimOptions> options = sim::parse_sim_options(args, &error);
  EXPECT_TRUE(options.has_value()) << error;
  return options.value_or(sim::SimOptions{});
}

std::string refusal(const std::vector<std::string>& args) {
  std::string error;
  return sim::parse_sim_options(args, &error) ? "<accepted>" : error;
}

TEST(SimOptions, ReadsEveryOption) {
  const sim::SimOptions plain = parsed({});
  EXPECT_TRUE(plain.self_test);
  EXPECT_TRUE(plain.view);
  EXPECT_EQ(plain.mictest_result, 0);
  EXPECT_TRUE(plain.state_dir.empty());

  const sim::SimOptions all = parsed(
      {"notest", "--mictest-result", "3", "--mictest-ms=150", "--status", "0x1234", "--fault",
       "10:error=5", "--fault=4:hang", "--fault", "8:never", "--state", "kept", "--no-view"});
  EXPECT_FALSE(all.self_test);
  EXPECT_FALSE(all.view);
  EXPECT_EQ(all.mictest_result, 3);
  EXPECT_EQ(all.mictest_ms, 150u);
  EXPECT_EQ(all.status, 0x1234);
  EXPECT_EQ(all.state_dir, "kept");
  ASSERT_EQ(all.faults.size(), 3u);
  EXPECT_EQ(all.faults[0].param, 10u);
  EXPECT_EQ(all.faults[0].fault, DspFault::error_code);
  EXPECT_EQ(all.faults[0].code, 5);
  EXPECT_EQ(all.faults[1].param, 4u);
  EXPECT_EQ(all.faults[1].fault, DspFault::hang);
  EXPECT_EQ(all.faults[2].fault, DspFault::test_never_finishes);
  EXPECT_TRUE(parsed({"--help"}).help);
}

TEST(SimOptions, RefusesWhatItCannotUse) {
  EXPECT_EQ(refusal({"test"}), "unknown argument 'test'");
  EXPECT_EQ(refusal({"--status"}), "--status needs a value");
  EXPECT_EQ(refusal({"--status", "65536"}), "bad value '65536' for --status");
  EXPECT_EQ(refusal({"--mictest-result", "-1"}), "bad value '-1' for --mictest-result");
  EXPECT_EQ(refusal({"--fault", "15:hang"}), "bad value '15:hang' for --fault");
  EXPECT_EQ(refusal({"--fault", "3:error=0"}), "bad value '3:error=0' for --fault");
  EXPECT_EQ(refusal({"--fault", "3:never"}), "bad value '3:never' for --fault");  // mic test only
  EXPECT_EQ(refusal({"--state="}), "bad value '' for --state");
  EXPECT_EQ(refusal({"--no-view=1"}), "unknown argument '--no-view=1'");
}

// ---- The host around the simulator ----

// Holds UDP port 49494 on all of this host's addresses while it lives.
class PortHolder {
 public:
  PortHolder() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPort);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    held_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~PortHolder() { close(fd_); }
  bool held() const { return held_; }

 private:
  int fd_;
  bool held_ = false;
};

// Another simulator or a developer's check may hold the port for a moment.
bool port_becomes_free() {
  const auto deadline = Clock::now() + 15s;
  while (!PortHolder().held()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(200ms);
  }
  return true;
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// Runs a shell command line; its standard output.
std::string shell(const std::string& command) {
  return sim::run({"/bin/sh", "-c", command}, 60s).out;
}

std::string client(const std::string& words) {
  return trimmed(shell(kClient + " 127.0.0.1 " + words + " 2>&1"));
}

bool eventually(const std::function<bool()>& condition, std::chrono::seconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

size_t count(const std::string& text, const std::string& part) {
  size_t found = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

// A scratch folder per test; the simulator's TMPDIR is inside it, so that
// its sandbox folder can be found and whatever it leaves behind can be seen.
class Scratch {
 public:
  Scratch() {
    char name[] = "/tmp/orvo-simtest.XXXXXX";
    if (mkdtemp(name) != nullptr) dir_ = name;
    std::filesystem::create_directories(tmp());
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  const std::string& dir() const { return dir_; }
  std::string tmp() const { return dir_ + "/tmp"; }

  std::vector<std::string> files_left() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(tmp()))
      names.push_back(entry.path().string());
    return names;
  }
  // The simulator's sandbox folder, once there is one.
  std::string sandbox() const {
    const std::vector<std::string> names = files_left();
    return names.size() == 1 ? names[0] : "";
  }
  // Processes whose command line names a path in TMPDIR (bwrap names the sandbox).
  std::vector<std::string> processes_left() const {
    std::vector<std::string> found;
    for (const pid_t pid : sim::process_ids()) {
      if (pid == getpid()) continue;
      for (const std::string& arg : sim::process_arguments(pid)) {
        if (arg.find(tmp() + "/") != std::string::npos) {
          found.push_back(std::to_string(pid));
          break;
        }
      }
    }
    return found;
  }
  bool mounted() const {
    std::ifstream in("/proc/self/mountinfo");
    std::stringstream mounts;
    mounts << in.rdbuf();
    return mounts.str().find(dir_) != std::string::npos;
  }

 private:
  std::string dir_;
};

void write_leds(const std::string& sandbox, int r, int g, int b) {
  for (int led = 1; led <= kLedCount; ++led) {
    const std::string base = sandbox + "/leds/led" + std::to_string(led);
    std::ofstream(base + "r/brightness") << r;
    std::ofstream(base + "g/brightness") << g;
    std::ofstream(base + "b/brightness") << b;
  }
}

// The simulator in a detached tmux session of 80 x 24, as a developer's
// terminal; the pane stays after it ends, to tell how it ended.
class TmuxSim {
 public:
  TmuxSim(const Scratch& scratch, const std::string& args)
      : tmux_("tmux -S '" + scratch.dir() + "/tmux.sock' -f '" + scratch.dir() + "/tmux.conf' ") {
    std::ofstream(scratch.dir() + "/tmux.conf") << "set -g remain-on-exit on\n";
    started_ = system((tmux_ + "new-session -d -s sim -x 80 -y 24 \"env -u NO_COLOR TMPDIR='" +
                       scratch.tmp() + "' '" + kSim + "' " + args + "\"")
                          .c_str()) == 0;
  }
  ~TmuxSim() { shell(tmux_ + "kill-server 2>/dev/null"); }
  bool started() const { return started_; }

  std::string screen() const { return shell(tmux_ + "capture-pane -e -p -t sim"); }
  bool shows(const std::function<bool(const std::string&)>& condition,
             std::chrono::seconds timeout) const {
    return eventually([&] { return condition(screen()); }, timeout);
  }
  // The whole ring in one colour: 15 LED cells with that background.
  bool ring(const std::string& rgb, std::chrono::seconds timeout) const {
    return shows([&](const std::string& s) { return count(s, "48;2;" + rgb + "m") == 15; },
                 timeout);
  }
  void keys(const std::string& keys) const { shell(tmux_ + "send-keys -t sim " + keys); }
  // Whether the simulator has ended and said so on the terminal it leaves
  // behind. (Its process is looked at directly: the tmux server does not
  // always collect a pane's exit status.)
  bool ended_cleanly(std::chrono::seconds timeout) const {
    const std::string pid = trimmed(shell(tmux_ + "display-message -p -t sim '#{pane_pid}'"));
    const auto gone = [&] { return !sim::process_running(atoi(pid.c_str())); };
    // Its last line may have scrolled off the screen by then.
    return !pid.empty() && eventually(gone, timeout) &&
           shell(tmux_ + "capture-pane -p -S -100 -t sim").find("orvo-sim: stopped") !=
               std::string::npos;
  }

 private:
  std::string tmux_;
  bool started_ = false;
};

// The simulator with its output in a pipe, as a script runs it.
class HeadlessSim {
 public:
  HeadlessSim(const Scratch& scratch, const std::vector<std::string>& args) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    std::vector<std::string> argv = {"/usr/bin/env", "TMPDIR=" + scratch.tmp(), kSim};
    argv.insert(argv.end(), args.begin(), args.end());
    sim::SpawnOptions options;
    options.out = out[1];
    options.err = out[1];
    pid_ = sim::spawn(argv, options);
    close(out[1]);
    reader_ = std::thread([this, fd = out[0]] {
      char chunk[4096];
      ssize_t got;
      while ((got = read(fd, chunk, sizeof chunk)) > 0) {
        std::lock_guard lock(mutex_);
        output_.append(chunk, static_cast<size_t>(got));
      }
      close(fd);
    });
  }
  ~HeadlessSim() {
    if (pid_ > 0 && !status_) stop(SIGKILL);
    if (reader_.joinable()) reader_.join();
  }
  std::string output() const {
    std::lock_guard lock(mutex_);
    return output_;
  }
  bool says(const std::string& text, std::chrono::seconds timeout = 30s) const {
    return eventually([&] { return output().find(text) != std::string::npos; }, timeout);
  }
  // Sends the signal and waits for the end: the exit status, or -1.
  int stop(int signal) {
    kill(pid_, signal);
    return wait(30s);
  }
  int wait(std::chrono::seconds timeout) {
    status_ = sim::wait_exit(pid_, timeout);
    if (!status_) {
      sim::kill_child(pid_);
      status_ = -1;
    }
    if (reader_.joinable()) reader_.join();
    return *status_;
  }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::string output_;
};

class Simulator : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(port_becomes_free())
        << "UDP port " << kPort << " is taken on this host, and the simulator needs "
        << "it: stop whatever holds it (an orvo-sim or orvo-udpd?)";
  }
  void expect_nothing_left() const {
    EXPECT_EQ(scratch.processes_left(), std::vector<std::string>{});
    EXPECT_EQ(scratch.files_left(), std::vector<std::string>{});
    EXPECT_FALSE(scratch.mounted());
    EXPECT_TRUE(port_becomes_free());
  }
  Scratch scratch;
};

const char* const kListening = "listening on UDP port 49494";

TEST_F(Simulator, RingShowsWhatTheLedsShine) {
  TmuxSim sim(scratch, "notest");
  ASSERT_TRUE(sim.started()) << "cannot start tmux: tools/deps.sh installs it";
  ASSERT_TRUE(
      sim.shows([](const std::string& s) { return s.find(kListening) != std::string::npos; }, 30s))
      << sim.screen();
  const std::string sandbox = scratch.sandbox();
  ASSERT_FALSE(sandbox.empty());

  // Full white as the daemon writes it: red and blue dimmed.
  write_leds(sandbox, 117, 255, 175);
  EXPECT_TRUE(sim.ring("255;255;255", 10s)) << sim.screen();
  write_leds(sandbox, 0, 0, 175);
  EXPECT_TRUE(sim.ring("0;0;255", 10s)) << sim.screen();
  write_leds(sandbox, 0, 0, 0);
  EXPECT_TRUE(sim.ring("0;0;0", 10s)) << sim.screen();

  sim.keys("C-c");
  EXPECT_TRUE(sim.ended_cleanly(20s)) << sim.screen();
  expect_nothing_left();
}

TEST_F(Simulator, ClientCommandsShowOnTheRing) {
  TmuxSim sim(scratch, "notest");
  ASSERT_TRUE(sim.started()) << "cannot start tmux: tools/deps.sh installs it";
  ASSERT_TRUE(
      sim.shows([](const std::string& s) { return s.find(kListening) != std::string::npos; }, 30s))
      << sim.screen();

  // Identify blinks the whole ring white.
  ASSERT_EQ(client("ID 1"), "ACK ID 1");
  EXPECT_TRUE(sim.ring("255;255;255", 10s)) << sim.screen();
  ASSERT_EQ(client("ID 0"), "ACK ID 0");
  ASSERT_EQ(client("SRGB 0 0 0 255"), "ACK SRGB 0 0 0 255");
  EXPECT_TRUE(sim.ring("0;0;255", 10s)) << sim.screen();

  sim.keys("C-c");
  EXPECT_TRUE(sim.ended_cleanly(20s)) << sim.screen();
  expect_nothing_left();
}

TEST_F(Simulator, HeadlessRunServesTheHostAndStopsClean) {
  const std::string state = scratch.dir() + "/state";
  std::filesystem::create_directories(state);
  std::ofstream(state + "/kept") << "x";

  HeadlessSim sim(scratch, {"notest", "--no-view", "--status", "0x1234", "--state", state});
  ASSERT_TRUE(sim.says(kListening)) << sim.output();
  // The stand-in's status word, and the DSP by meaning, in plain lines.
  EXPECT_TRUE(sim.says("dsp: tracking on, noise suppression on, APT off")) << sim.output();
  EXPECT_TRUE(sim.says("status 0x1234 (4660)")) << sim.output();
  EXPECT_TRUE(sim.says("leds: 1-15 #")) << sim.output();
  // The daemon answers on the host's loopback, as the appliance on its network.
  EXPECT_EQ(client("VERSION"), "ACK VERSION 1.0.0-sim");

  EXPECT_EQ(sim.stop(SIGTERM), 0);
  const std::string output = sim.output();
  EXPECT_EQ(output.substr(output.rfind('\n', output.size() - 2) + 1), "orvo-sim: stopped\n");
  EXPECT_EQ(output.find('\x1b'), std::string::npos) << "escape sequences in plain output";
  EXPECT_TRUE(std::filesystem::exists(state + "/kept"));
  expect_nothing_left();
}

TEST_F(Simulator, TakenPortIsReportedBeforeAnythingStarts) {
  PortHolder holder;
  ASSERT_TRUE(holder.held());
  HeadlessSim sim(scratch, {"notest", "--no-view"});
  EXPECT_EQ(sim.wait(30s), 1);
  const std::string output = sim.output();
  EXPECT_NE(output.find("orvo-sim: UDP port 49494 is already in use on this host, by process " +
                        std::to_string(getpid())),
            std::string::npos)
      << output;
  EXPECT_EQ(scratch.files_left(), std::vector<std::string>{});
}

TEST_F(Simulator, KeptStateComesBackOnTheNextRun) {
  const std::string state = scratch.dir() + "/state";
  {
    HeadlessSim sim(scratch, {"notest", "--no-view", "--state", state});
    ASSERT_TRUE(sim.says(kListening)) << sim.output();
    ASSERT_EQ(client("EQ 1 -3"), "ACK EQ 1 -3");
    EXPECT_TRUE(sim.says("equalizer on +0 / -3 / +0 dB")) << sim.output();
    ASSERT_EQ(sim.stop(SIGINT), 0);
  }
  EXPECT_TRUE(std::filesystem::exists(state + "/dspparam6"));
  HeadlessSim again(scratch, {"notest", "--no-view", "--state", state});
  ASSERT_TRUE(again.says(kListening)) << again.output();
  EXPECT_TRUE(again.says("equalizer on +0 / -3 / +0 dB")) << again.output();
  EXPECT_EQ(again.stop(SIGINT), 0);
  expect_nothing_left();
}

TEST_F(Simulator, DspOptionsReachTheDaemon) {
  HeadlessSim sim(scratch, {"notest", "--no-view", "--status", "4660", "--fault", "0:error=9"});
  ASSERT_TRUE(sim.says(kListening)) << sim.output();
  EXPECT_EQ(client("DSPSTATUS"), "ACK DSPSTATUS 4660");
  EXPECT_EQ(client("TRACKING"), "NACK TRACKING");
  EXPECT_TRUE(sim.says("log: mailbox error (9)")) << sim.output();
  EXPECT_EQ(sim.stop(SIGTERM), 0);
  expect_nothing_left();
}

TEST_F(Simulator, FailedSelfTestIsShown) {
  HeadlessSim sim(scratch, {"--no-view", "--mictest-result", "7", "--mictest-ms", "100"});
  EXPECT_TRUE(sim.says("log: mictest fail: ret is 0, val is 7", 60s)) << sim.output();
  EXPECT_EQ(sim.output().find(kListening), std::string::npos);
  EXPECT_EQ(sim.stop(SIGTERM), 0);
  expect_nothing_left();
}

}  // namespace
