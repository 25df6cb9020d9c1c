// orvo-bench: request rate and round-trip latency of the daemon, against the
// floor that the loopback itself sets.
//
//   orvo-bench [-a] [-n REQUESTS] [-r ROUNDS]
//
// Starts the real daemon in a fresh appliance sandbox (with the DSP stand-in),
// or with -a takes the daemon that already serves this machine's loopback
// (the service on a board), and, in the same network namespace, a minimal
// UDP echo server: a process
// that only receives a datagram and sends it back. A closed-loop client (one
// request outstanding) then sends REQUESTS requests (default 20,000) to each
// target, in ROUNDS interleaved rounds (default 5) so that all targets see the
// same machine, and prints per target the rate, the median and 99th
// percentile round trip, the median's excess over the echo server's (what the
// request costs beside the network) and the rate as a fraction of the echo
// server's. The client spins on its socket rather than sleeping in poll, so
// that the wake-up of its own CPU is not measured.
// Build it in Release (tools/bench.sh does).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/platform.h"
#include "protocol/protocol.h"
#include "sim/dsp_standin.h"
#include "sim/sandbox.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kEchoPort = 49495;

struct Target {
  Target(const char* name_, const char* request_, const char* reply_start_, uint16_t port_)
      : name(name_), request(request_), reply_start(reply_start_), port(port_) {}
  std::string name;
  std::string request;
  std::string reply_start;  // what a correct reply begins with
  uint16_t port;
  int socket = -1;
  std::vector<double> round_trips_us;
  double busy_seconds = 0;
  long wrong = 0;
  long lost = 0;
};

[[noreturn]] void echo_forever(int fd) {
  char buffer[65536];
  for (;;) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t got =
        recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (got >= 0) {
      sendto(fd, buffer, static_cast<size_t>(got), 0, reinterpret_cast<sockaddr*>(&from), length);
    }
  }
}

// A UDP socket in the daemon's network (the jail's, or this process's own).
using OpenUdp = std::function<int()>;

// The echo server: a child process on its own socket in the daemon's network.
pid_t start_echo(const OpenUdp& open_udp) {
  const int fd = open_udp();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kEchoPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
  sim::SpawnOptions options;
  options.die_with_parent = true;
  const pid_t pid = sim::start_child(options, [fd] { echo_forever(fd); });
  close(fd);
  return pid;
}

bool connect_to(Target& target, const OpenUdp& open_udp) {
  target.socket = open_udp();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(target.port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return target.socket >= 0 &&
         connect(target.socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// count closed-loop requests; records their round trips unless warming up.
void run(Target& target, long count, bool record, bool yield) {
  char reply[4096];
  const auto started = Clock::now();
  for (long i = 0; i < count; ++i) {
    const auto sent = Clock::now();
    if (send(target.socket, target.request.data(), target.request.size(), 0) < 0) {
      ++target.lost;
      continue;
    }
    // Spin on the socket: a client that sleeps measures the wake-up of its
    // own CPU (a virtual machine's idle CPU can take tens of microseconds).
    // On a board (-a) the spin yields: there the server may share the
    // client's CPU, and would otherwise wait for the client's time slice to
    // end before each reply.
    // A reply counts as lost after 5 s: on an emulated board whose host is
    // busy, a request that the daemon logs (an unknown keyword) can wait
    // more than a second for the journal to take the message.
    ssize_t got = -1;
    auto answered = sent;
    do {
      if (yield) sched_yield();
      got = recv(target.socket, reply, sizeof reply, MSG_DONTWAIT);
      answered = Clock::now();
    } while (got < 0 && (errno == EAGAIN || errno == EINTR) &&
             answered - sent < std::chrono::seconds(5));
    if (got < 0) {
      ++target.lost;
      continue;
    }
    if (got < static_cast<ssize_t>(target.reply_start.size()) ||
        memcmp(reply, target.reply_start.data(), target.reply_start.size()) != 0) {
      ++target.wrong;
    }
    if (record)
      target.round_trips_us.push_back(
          std::chrono::duration<double, std::micro>(answered - sent).count());
  }
  if (record) target.busy_seconds += std::chrono::duration<double>(Clock::now() - started).count();
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t index = std::min(values.size() - 1,
                                static_cast<size_t>(fraction * static_cast<double>(values.size())));
  return values[index];
}

}  // namespace

int main(int argc, char** argv) {
  long requests = 20000, rounds = 5;
  bool attach = false, usage = false;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "-a") == 0) {
      attach = true;
    } else if (i + 1 < argc && strcmp(argv[i], "-n") == 0) {
      requests = atol(argv[++i]);
    } else if (i + 1 < argc && strcmp(argv[i], "-r") == 0) {
      rounds = atol(argv[++i]);
    } else {
      usage = true;
    }
  }
  if (usage || requests < 1 || rounds < 1 || rounds > requests) {
    fputs("usage: orvo-bench [-a] [-n REQUESTS] [-r ROUNDS]\n", stderr);
    return 2;
  }

  std::string error;
  std::unique_ptr<sim::Sandbox> box;
  DspStandin* dsp = nullptr;
  OpenUdp open_udp = [] { return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); };
  if (!attach) {
    box = sim::Sandbox::create({}, &error);
    if (!box) {
      fprintf(stderr, "orvo-bench: %s\n", error.c_str());
      return 1;
    }
    dsp = dsp_standin_start(box->host_path(kPhysicalMemoryPath).c_str(), DspStandinConfig{});
    if (dsp == nullptr || !box->start_daemon({"notest"}, &error) ||
        !box->wait_listening(std::chrono::seconds(30))) {
      fprintf(stderr, "orvo-bench: cannot start the daemon: %s\n", error.c_str());
      return 1;
    }
    open_udp = [&box] { return box->open_udp(); };
  }
  const pid_t echo = start_echo(open_udp);
  if (echo < 0) {
    fputs("orvo-bench: cannot start the echo server\n", stderr);
    return 1;
  }

  std::vector<Target> targets = {
      {"udp echo (floor)", "GRGB 0\r", "GRGB 0\r", kEchoPort},
      {"VERSION", "VERSION\r", "ACK VERSION ", orvo::kControlPort},
      {"GRGB 0", "GRGB 0\r", "ACK GRGB 0 CH1 ", orvo::kControlPort},
      {"GTSB 0", "GTSB 0\r", "ACK GTSB 0 CH1R=", orvo::kControlPort},
      {"unknown keyword", "FOO\r", "NACK FOO\r", orvo::kControlPort},
  };
  for (Target& target : targets) {
    if (!connect_to(target, open_udp)) {
      fputs("orvo-bench: cannot open a client socket\n", stderr);
      return 1;
    }
    target.round_trips_us.reserve(static_cast<size_t>(requests));
    run(target, 500, false, attach);
  }
  for (long round = 0; round < rounds; ++round) {
    for (Target& target : targets) {
      run(target, requests / rounds + (round < requests % rounds ? 1 : 0), true, attach);
    }
  }

  double load[3] = {0, 0, 0};
  if (FILE* loadavg = fopen("/proc/loadavg", "r")) {
    if (fscanf(loadavg, "%lf %lf %lf", &load[0], &load[1], &load[2]) != 3) load[0] = -1;
    fclose(loadavg);
  }
  printf("closed loop, one request outstanding, %ld requests per target in %ld rounds; %u cores, "
         "load %.2f\n\n",
         requests, rounds, std::thread::hardware_concurrency(), load[0]);
  printf("%-18s %10s %12s %12s %12s %10s\n", "target", "req/s", "median us", "p99 us",
         "median-echo", "vs echo");
  const double floor_rate =
      static_cast<double>(targets[0].round_trips_us.size()) / targets[0].busy_seconds;
  const double floor_median = percentile(targets[0].round_trips_us, 0.5);
  int status = 0;
  for (const Target& target : targets) {
    const double rate = static_cast<double>(target.round_trips_us.size()) / target.busy_seconds;
    const double median = percentile(target.round_trips_us, 0.5);
    printf("%-18s %10.0f %12.1f %12.1f %+12.1f %10.2f\n", target.name.c_str(), rate, median,
           percentile(target.round_trips_us, 0.99), median - floor_median, rate / floor_rate);
  }
  fflush(stdout);
  for (const Target& target : targets) {
    if (target.wrong != 0 || target.lost != 0) {
      fprintf(stderr, "orvo-bench: %s: %ld wrong and %ld lost replies\n", target.name.c_str(),
              target.wrong, target.lost);
      status = 1;
    }
  }
  sim::kill_child(echo);
  dsp_standin_stop(dsp);
  return status;
}
