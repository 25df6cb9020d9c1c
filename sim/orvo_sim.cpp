// orvo-sim: the appliance on this machine. Runs the real daemon in the
// appliance sandbox on the host's network, with the DSP stand-in serving its
// mailbox, and shows the daemon's log until Ctrl-C.

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sim/dsp_standin.h"
#include "sim/sandbox.h"

namespace {

volatile sig_atomic_t stopping = 0;

void on_signal(int) { stopping = 1; }

void usage() {
  fputs("usage: orvo-sim [notest]\n"
        "runs the appliance: orvo-udpd in its sandbox on UDP port 49494 of this host,\n"
        "with a stand-in for the DSP; send commands with orvo-udpc 127.0.0.1 WORD...\n"
        "Ctrl-C stops it.\n",
        stderr);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> daemon_args;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "notest") == 0) {
      daemon_args.push_back("notest");
    } else {
      usage();
      return 2;
    }
  }
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);

  sim::SandboxOptions options;
  options.host_network = true;
  std::string error;
  const std::unique_ptr<sim::Sandbox> box = sim::Sandbox::create(options, &error);
  if (!box) {
    fprintf(stderr, "orvo-sim: %s\n", error.c_str());
    return 1;
  }
  DspStandinConfig dsp_config;
  DspStandin* dsp = dsp_standin_start(box->host_path("/dev/mem").c_str(), dsp_config);
  if (dsp == nullptr) {
    fprintf(stderr, "orvo-sim: cannot start the DSP stand-in: %s\n", strerror(errno));
    return 1;
  }
  if (!box->start_daemon(daemon_args, &error)) {
    fprintf(stderr, "orvo-sim: %s\n", error.c_str());
    dsp_standin_stop(dsp);
    return 1;
  }
  printf("appliance running: try  orvo-udpc 127.0.0.1 VERSION  (Ctrl-C stops it)\n");
  fflush(stdout);

  size_t shown = 0;
  while (!stopping) {
    const std::vector<sim::LogEntry> log = box->log();
    for (; shown < log.size(); ++shown) {
      printf("log: %s", log[shown].message.c_str());
      if (log[shown].message.empty() || log[shown].message.back() != '\n') putchar('\n');
    }
    fflush(stdout);
    if (const std::optional<int> status = box->wait_daemon_exit(std::chrono::milliseconds(200))) {
      printf("orvo-udpd ended with status %d\n", *status);
      break;
    }
  }
  dsp_standin_stop(dsp);
  return 0;
}
