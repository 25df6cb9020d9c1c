// orvo-sim: the appliance on this machine. Runs the real daemon in the
// appliance sandbox on the host's network, with the DSP stand-in serving its
// mailbox and plain files as its LEDs, and shows what the LEDs, the DSP and
// the daemon's log are doing until Ctrl-C.

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "protocol/platform.h"
#include "protocol/protocol.h"
#include "sim/dsp_standin.h"
#include "sim/options.h"
#include "sim/sandbox.h"
#include "sim/terminal.h"
#include "sim/view.h"

namespace {

using namespace std::chrono_literals;

constexpr int kFrameMs = 100;
constexpr size_t kKeptLogLines = 1000;

volatile sig_atomic_t stopping = 0;

void on_signal(int) { stopping = 1; }

void install_signals() {
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  // A closed output shows up as a failed write, not as death.
  ::signal(SIGPIPE, SIG_IGN);
}

// Inodes of this host's UDP sockets bound to the control port.
std::vector<std::string> control_port_inodes() {
  return sim::udp_socket_inodes("/proc/net", orvo::kControlPort);
}

bool control_port_bound() { return !control_port_inodes().empty(); }

// "PID (NAME)" of the processes holding one of the sockets.
std::string socket_owners(const std::vector<std::string>& inodes) {
  std::string owners;
  for (const pid_t pid : sim::process_ids()) {
    const std::string dir = "/proc/" + std::to_string(pid);
    DIR* fds = opendir((dir + "/fd").c_str());
    if (fds == nullptr) continue;
    bool holds = false;
    while (const dirent* fd = readdir(fds)) {
      const std::string link = sim::read_link(dir + "/fd/" + fd->d_name);
      for (const std::string& inode : inodes) holds = holds || link == "socket:[" + inode + "]";
    }
    closedir(fds);
    if (!holds) continue;
    std::string name = sim::read_text(dir + "/comm");
    while (!name.empty() && name.back() == '\n') name.pop_back();
    owners += (owners.empty() ? "" : ", ") + std::to_string(pid) + " (" + name + ")";
  }
  return owners;
}

// Empty when the control port is free on this host, else why it is not.
std::string control_port_problem() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::string("cannot make a UDP socket: ") + strerror(errno);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(orvo::kControlPort);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  const bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  const int error = errno;
  close(fd);
  if (free) return "";
  std::string text =
      "UDP port " + std::to_string(orvo::kControlPort) + " is already in use on this host";
  if (error != EADDRINUSE) return text + " (" + strerror(error) + ")";
  const std::string owners = socket_owners(control_port_inodes());
  if (!owners.empty()) text += ", by process " + owners;
  return text +
         ".\nThe simulated appliance needs that port: stop whatever holds it (another orvo-sim or "
         "orvo-udpd?) and try again.";
}

// The client as a user of this terminal would call it.
std::string client_command() {
  std::string client = sim::programs().client;
  std::error_code error;
  const std::filesystem::path cwd = std::filesystem::current_path(error);
  if (!error) {
    const std::string prefix = cwd.string() + "/";
    if (client.starts_with(prefix)) client = client.substr(prefix.size());
  }
  return client;
}

sim::LedLevels read_leds(const sim::Sandbox& box) {
  sim::LedLevels leds{};
  for (int led = 1; led <= kLedCount; ++led) {
    const auto level = [&](char component) {
      return sim::parse_level(box.read_file(sim::brightness_path(led, component)));
    };
    leds[static_cast<size_t>(led - 1)] = sim::Rgb{level('r'), level('g'), level('b')};
  }
  return leds;
}

// Prints changes as lines, for scripts and pipes. A change is printed once it
// has held for two samples in a row, so that the LEDs are not shown halfway
// through the 45 file writes of one colour change.
class PlainOutput {
 public:
  void note(const std::string& text) { line("orvo-sim: " + text); }
  void log(const std::string& message) { line("log: " + sim::printable(message)); }
  void sample(const sim::LedLevels& leds, const sim::DspWords& dsp) {
    settle(sim::leds_line(leds), &leds_candidate_, &leds_shown_);
    settle(sim::dsp_line(dsp), &dsp_candidate_, &dsp_shown_);
    fflush(stdout);
  }

 private:
  static void line(const std::string& text) {
    fputs(text.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
  }
  static void settle(const std::string& now, std::string* candidate, std::string* shown) {
    if (now == *candidate && now != *shown) {
      line(now);
      *shown = now;
    }
    *candidate = now;
  }
  std::string leds_candidate_, leds_shown_, dsp_candidate_, dsp_shown_;
};

bool make_state_dir(std::string* dir, std::string* error) {
  std::error_code failure;
  std::filesystem::create_directories(*dir, failure);
  if (!failure) *dir = std::filesystem::canonical(*dir, failure).string();
  if (failure || !std::filesystem::is_directory(*dir)) {
    *error = "cannot use " + *dir +
             " as the state folder: " + (failure ? failure.message() : "not a folder");
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  std::optional<sim::SimOptions> options =
      sim::parse_sim_options(std::vector<std::string>(argv + 1, argv + argc), &error);
  if (!options) {
    fprintf(stderr, "orvo-sim: %s\n%s", error.c_str(), sim::kSimUsage);
    return 2;
  }
  if (options->help) {
    fputs(sim::kSimUsage, stdout);
    return 0;
  }
  install_signals();

  if (!options->state_dir.empty() && !make_state_dir(&options->state_dir, &error)) {
    fprintf(stderr, "orvo-sim: %s\n", error.c_str());
    return 1;
  }
  if (const std::string problem = control_port_problem(); !problem.empty()) {
    fprintf(stderr, "orvo-sim: %s\n", problem.c_str());
    return 1;
  }

  sim::SandboxOptions sandbox_options;
  sandbox_options.host_network = true;
  sandbox_options.data_folder = options->state_dir;
  std::unique_ptr<sim::Sandbox> box = sim::Sandbox::create(sandbox_options, &error);
  if (!box) {
    fprintf(stderr, "orvo-sim: %s\n", error.c_str());
    return 1;
  }
  DspStandinConfig dsp_config;
  dsp_config.mictest_ms = options->mictest_ms;
  dsp_config.mictest_result = options->mictest_result;
  dsp_config.status = options->status;
  DspStandin* dsp = dsp_standin_start(box->host_path(kPhysicalMemoryPath).c_str(), dsp_config);
  if (dsp == nullptr) {
    fprintf(stderr, "orvo-sim: cannot start the DSP stand-in: %s\n", strerror(errno));
    return 1;
  }
  for (const sim::ParamFault& fault : options->faults) {
    dsp_standin_set_fault(dsp, fault.param, fault.fault, fault.code);
  }

  const bool live = options->view && isatty(STDOUT_FILENO);
  PlainOutput plain;
  const std::vector<std::string> daemon_args =
      options->self_test ? std::vector<std::string>{} : std::vector<std::string>{"notest"};
  if (!live) {
    plain.note(std::string("starting orvo-udpd in the appliance sandbox") +
               (options->self_test ? " (self-test first, about 12 s)" : " (notest)"));
  }
  if (!box->start_daemon(daemon_args, &error)) {
    fprintf(stderr, "orvo-sim: %s\n", error.c_str());
    box.reset();
    dsp_standin_stop(dsp);
    return 1;
  }

  std::optional<sim::Terminal> terminal;
  sim::ColourMode colour = sim::ColourMode::none;
  if (live) {
    int colours = -1;
    const sim::RunResult tput = sim::run({"/bin/sh", "-c", "tput colors"}, 5s);
    if (tput.status != 0 || sscanf(tput.out.c_str(), "%d", &colours) != 1) colours = -1;
    colour = sim::choose_colour(getenv("TERM"), getenv("NO_COLOR"), colours);
    terminal.emplace(STDIN_FILENO, STDOUT_FILENO);
  }

  sim::ViewState view;
  view.client = client_command();
  view.note = options->note;
  if (!live && !options->note.empty()) plain.note(options->note);
  const std::string listening =
      "orvo-udpd listening on UDP port " + std::to_string(orvo::kControlPort);
  size_t logged = 0;
  bool bound = false;
  std::optional<int> ended;
  int exit_status = 0;
  while (!stopping) {
    const std::vector<sim::LogEntry> log = box->log();
    for (; logged < log.size(); ++logged) {
      view.log.push_back(log[logged].message);
      if (!live) plain.log(log[logged].message);
    }
    if (!bound && !ended && control_port_bound()) {
      bound = true;
      view.log.push_back("[orvo-sim] " + listening);
      if (!live) {
        plain.note(listening + "; send commands with " + view.client + " 127.0.0.1 WORD...");
      }
    }
    if (!ended) {
      ended = box->wait_daemon_exit(0ms);
      if (ended) {
        const std::string text = "orvo-udpd has ended (exit status " + std::to_string(*ended) + ")";
        view.log.push_back("[orvo-sim] " + text);
        if (!live) {
          plain.note(text);
          exit_status = 1;
          break;
        }
      }
    }
    if (view.log.size() > kKeptLogLines) {
      view.log.erase(view.log.begin(), view.log.end() - kKeptLogLines);
    }

    view.leds = read_leds(*box);
    view.dsp = dsp_standin_table(dsp);
    if (ended) {
      view.status = "orvo-udpd has ended (exit status " + std::to_string(*ended) + ")";
    } else if (bound) {
      view.status = listening;
    } else {
      bool test_failed = false;
      for (const std::string& line : view.log) {
        test_failed = test_failed || line.starts_with("mictest fail");
      }
      view.status = test_failed          ? "self-test failed: orvo-udpd will not serve"
                    : options->self_test ? "orvo-udpd started, self-test running"
                                         : "orvo-udpd starting";
    }

    if (live) {
      int width, height;
      terminal->size(&width, &height);
      if (!terminal->draw(sim::render_view(view, width, height, colour), width)) break;
      const int key = terminal->key(kFrameMs);
      if (key == 'q' || key == 'Q') break;
    } else {
      plain.sample(view.leds, view.dsp);
      poll(nullptr, 0, kFrameMs);
    }
  }

  terminal.reset();
  box.reset();  // ends the jail with the daemon in it and removes its files
  dsp_standin_stop(dsp);
  if (live) {
    printf("orvo-sim: stopped\n");
  } else {
    plain.note("stopped");
  }
  return exit_status;
}
