// orvo-fleet-bench: the client's find and apply over a site of many
// appliances. A program that prints figures, not a test.
//
//   orvo-fleet-bench [-n APPLIANCES] [-r ROUNDS]
//
// Makes a virtual site (sim/site.h) of APPLIANCES sandboxed appliances
// (default 50) and prints, over ROUNDS rounds (default 5):
// - find: how long until every appliance has answered one broadcast VERSION
//   (sent by the benchmark itself), and how many `orvo-udpc -f` lists with
//   windows of 1 s down to 0.1 s, by broadcast and by range (the fewest of
//   the rounds);
// - apply: the wall time of `orvo-udpc -a` sending a 30-line snapshot to one
//   appliance and to all of them (medians), and the ratio of the two; the
//   same for as many lines that keep the daemons waiting on their DSPs
//   rather than on the two CPUs that run all 50 here.
// Needs root and bubblewrap; tools/fleet-bench.sh builds it in Release and runs it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "protocol/protocol.h"
#include "sim/site.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Jiffies of all CPUs since boot: busy and in all.
struct CpuTime {
  long long busy = 0;
  long long total = 0;
};
CpuTime cpu_time() {
  std::ifstream stat("/proc/stat");
  std::string cpu;
  CpuTime time;
  stat >> cpu;
  for (int field = 0; field < 8; ++field) {
    long long value = 0;
    stat >> value;
    time.total += value;
    if (field != 3 && field != 4) time.busy += value;  // not idle, not iowait
  }
  return time;
}

// How busy the machine's CPUs were since then, in percent of all of them.
double busy_percent(const CpuTime& since) {
  const CpuTime now = cpu_time();
  return now.total > since.total ? 100.0 * static_cast<double>(now.busy - since.busy) /
                                       static_cast<double>(now.total - since.total)
                                 : 0;
}

// CPU time of this process so far, in seconds.
double own_cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int lines_of(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// Milliseconds from one broadcast VERSION until count appliances have
// answered, or -1 when they have not within 5 s.
double all_answer_ms(const sim::Site& site, int count) {
  const int fd = site.client_host().open_udp();
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(orvo::kControlPort);
  to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  const auto start = Clock::now();
  std::set<uint32_t> answered;
  if (sendto(fd, "VERSION\r", 8, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == 8) {
    while (static_cast<int>(answered.size()) < count && Clock::now() - start < 5s) {
      pollfd ready{fd, POLLIN, 0};
      if (poll(&ready, 1, 100) <= 0) continue;
      char reply[2048];
      sockaddr_in from{};
      socklen_t length = sizeof from;
      if (recvfrom(fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), &length) > 0) {
        answered.insert(from.sin_addr.s_addr);
      }
    }
  }
  const double ms = seconds_since(start) * 1000;
  close(fd);
  return static_cast<int>(answered.size()) == count ? ms : -1;
}

// Sends a file of commands to the first appliance, then to all of them,
// rounds times; prints the medians and how busy the CPUs were. The number of
// failed runs.
int apply_compare(const sim::Site& site, const std::string& text, const std::string& what,
                  int rounds) {
  const std::string file = (getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "/tmp") +
                           std::string("/orvo-fleet-bench.txt");
  std::ofstream(file) << text;
  std::vector<std::string> one = {"-a", file, sim::Site::address(0)};
  std::vector<std::string> all = {"-a", file};
  for (int i = 0; i < site.size(); ++i) all.push_back(sim::Site::address(i));
  std::vector<double> one_ms, all_ms, one_busy, all_busy;
  int failed = 0;
  for (int round = 0; round < rounds; ++round) {
    for (auto* target : {&one, &all}) {
      const CpuTime since = cpu_time();
      const sim::RunResult run = site.client(*target, 120s);
      failed += run.status != 0;
      (target == &one ? one_ms : all_ms).push_back(static_cast<double>(run.elapsed.count()));
      (target == &one ? one_busy : all_busy).push_back(busy_percent(since));
    }
  }
  unlink(file.c_str());
  const double single = median(one_ms), many = median(all_ms);
  printf("apply: %s to 1 appliance: %.0f ms; to %d: %.0f ms (medians of %d); ratio %.2f%s\n",
         what.c_str(), single, site.size(), many, rounds, single > 0 ? many / single : 0.0,
         failed != 0 ? " (some runs failed!)" : "");
  printf("apply: the CPUs were %.0f %% busy while it went to 1, %.0f %% while it went to %d "
         "(medians)\n",
         median(one_busy), median(all_busy), site.size());
  return failed;
}

}  // namespace

int main(int argc, char** argv) {
  int count = 50, rounds = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "-n") == 0) count = atoi(argv[i + 1]);
    if (strcmp(argv[i], "-r") == 0) rounds = atoi(argv[i + 1]);
  }
  if (count < 1 || count > sim::Site::kMaxAppliances || rounds < 1 || argc % 2 == 0) {
    fprintf(stderr, "usage: orvo-fleet-bench [-n APPLIANCES (1-%d)] [-r ROUNDS]\n",
            sim::Site::kMaxAppliances);
    return 2;
  }
  std::string error;
  auto start = Clock::now();
  const std::unique_ptr<sim::Site> site = sim::Site::create(count, &error);
  if (!site || !site->start_all(&error)) {
    fprintf(stderr, "cannot make the site: %s\n", error.c_str());
    return 1;
  }
  printf("site: %d appliances made and started in %.1f s\n", count, seconds_since(start));
  const CpuTime idle_since = cpu_time();
  const double own_since = own_cpu_seconds();
  std::this_thread::sleep_for(2s);
  printf("site: idle, the DSP stand-ins (this process) take %.0f %% of one CPU; the machine's %u "
         "CPUs are %.0f %% busy (everything on it)\n",
         (own_cpu_seconds() - own_since) / 2 * 100, std::thread::hardware_concurrency(),
         busy_percent(idle_since));

  // Find.
  std::vector<double> answers;
  for (int round = 0; round < rounds; ++round) {
    answers.push_back(all_answer_ms(*site, count));
    std::this_thread::sleep_for(100ms);
  }
  std::sort(answers.begin(), answers.end());
  printf("find: one broadcast VERSION, all %d answered after (ms, per round, sorted):", count);
  for (double ms : answers) printf(ms < 0 ? " not within 5 s" : " %.1f", ms);
  printf("\n");
  for (const char* window : {"1", "0.5", "0.2", "0.1"}) {
    for (const std::string& target : {std::string("255.255.255.255"), sim::Site::subnet()}) {
      int fewest = count;
      std::vector<double> walls;
      for (int round = 0; round < rounds; ++round) {
        const sim::RunResult run = site->client({"-f", "-w", window, target}, 30s);
        fewest = std::min(fewest, lines_of(run.out));
        walls.push_back(static_cast<double>(run.elapsed.count()) / 1000);
      }
      printf("find: orvo-udpc -f -w %-3s %-15s lists %d of %d (fewest of %d rounds), wall %.2f s "
             "(median)\n",
             window, target.c_str(), fewest, count, rounds, median(walls));
    }
  }

  // Apply: a snapshot of 30 command lines, taken from the first appliance.
  std::vector<std::string> setup = {"TRACKING 0",
                                    "NOISESUP 0",
                                    "APT 2",
                                    "EQ 0 -4",
                                    "EQ 1 2",
                                    "EQ 2 -9",
                                    "ACTNULCOL 0 0 255 255 0 0",
                                    "NULL 0"};
  for (int c = 1; c <= orvo::kLedStateChannels; ++c) {
    setup.push_back("SRGB " + std::to_string(c) + " " + std::to_string(c) + " " +
                    std::to_string(2 * c) + " " + std::to_string(3 * c));
  }
  for (int c = 1; c <= 6; ++c) setup.push_back("STS " + std::to_string(c) + " G=0");
  for (const std::string& request : setup) site->appliance(0).request(request + "\r");
  const sim::RunResult snapshot = site->client({"-s", sim::Site::address(0)}, 30s);
  if (snapshot.status != 0) {
    fprintf(stderr, "snapshot failed: %s\n", snapshot.err.c_str());
    return 1;
  }
  int commands = 0;
  for (size_t at = 0; at < snapshot.out.size(); at = snapshot.out.find('\n', at) + 1) {
    commands += snapshot.out[at] != '#';
  }
  int failed =
      apply_compare(*site, snapshot.out, std::to_string(commands) + "-line snapshot", rounds);
  // The same number of lines that keep each daemon waiting on its DSP rather
  // than its CPU: how the client keeps many appliances busy at once, apart
  // from what 50 appliances cost two CPUs.
  std::string waiting;
  for (int line = 0; line < commands; ++line)
    waiting += line % 2 == 0 ? "TRACKING 0\n" : "TRACKING 1\n";
  failed += apply_compare(*site, waiting, std::to_string(commands) + " TRACKING lines", rounds);
  return failed != 0 ? 1 : 0;
}
