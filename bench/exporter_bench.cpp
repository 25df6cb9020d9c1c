// orvo-exporter-bench: the exporter over a site of many appliances. A
// program that prints figures, not a test.
//
//   orvo-exporter-bench [-n APPLIANCES] [-r ROUNDS] [-p PROBES] [-e EXPORTER]
//                       [-m rate|probe|sustained] [-s SECONDS]
//
// EXPORTER: the exporter program to run (default the one built beside this).
// With -m rate (the default):
// Makes a virtual site (sim/site.h) of APPLIANCES sandboxed appliances
// (default 50), starts orvo-exporter on the client's host and asks it over
// HTTP there, as Prometheus does (one kept-alive connection per target):
// - scrape: the wall time of one probe of every appliance, all at once
//   (ROUNDS rounds, default 5: fewest, median, most), and the slowest
//   single probe of those rounds as the exporter measured it;
// - rate: PROBES probes (default 10,000), one connection per appliance
//   probing it again and again, in probes per second; every probe must
//   find its appliance up;
// - memory: the exporter's resident set before, then after every tenth of
//   the probes, which stays flat once the first ones have run.
// With -m probe, one appliance's probe (the median of 10) without and with
// a room's settings file: datagrams the exporter sent and received (the
// client network's UDP counters) and the time; then a probe of an
// appliance whose DSP hangs (every parameter never answered).
// With -m sustained, every appliance probed every 15 s, as Prometheus
// spreads its targets over the interval, for SECONDS (default 60): the
// probes per second, the slowest probe, the exporter's CPU time and
// resident set.
// Needs root and bubblewrap; tools/exporter-bench.sh builds it in Release
// and runs it, bench/exporter_figures.sh runs it for the figures of the
// probe before and after a change.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/dsp_mailbox.h"
#include "sim/process.h"
#include "sim/site.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kPort = 9494;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The resident set of a process, in KiB (VmRSS of /proc/PID/status).
long resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// One kept-alive HTTP/1.1 connection to the exporter, in the client's network.
class Connection {
 public:
  explicit Connection(const sim::Site& site) : site_(site) {}
  ~Connection() { drop(); }

  // The body of a GET, or "" when there was no whole answer of status 200.
  std::string get(const std::string& target) {
    for (int tries = 0; tries < 2; ++tries) {  // once more on a closed connection
      if (fd_ < 0 && !open()) return "";
      const std::string request = "GET " + target + " HTTP/1.1\r\nHost: bench\r\n\r\n";
      if (send(fd_, request.data(), request.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(request.size())) {
        std::string body;
        if (answer(&body)) return body;
      }
      drop();
    }
    return "";
  }

 private:
  bool open() {
    fd_ = site_.client_host().open_socket(SOCK_STREAM);
    const timeval timeout{30, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return true;
    drop();
    return false;
  }
  void drop() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    pending_.clear();
  }
  // Reads one answer: its head, then Content-Length bytes.
  bool answer(std::string* body) {
    size_t end;
    while ((end = pending_.find("\r\n\r\n")) == std::string::npos) {
      if (!receive()) return false;
    }
    const std::string head = pending_.substr(0, end);
    pending_.erase(0, end + 4);
    const size_t field = head.find("Content-Length: ");
    if (head.rfind("HTTP/1.1 200 ", 0) != 0 || field == std::string::npos) return false;
    const size_t length = std::strtoul(head.c_str() + field + 16, nullptr, 10);
    while (pending_.size() < length) {
      if (!receive()) return false;
    }
    *body = pending_.substr(0, length);
    pending_.erase(0, length);
    return true;
  }
  bool receive() {
    char chunk[16384];
    const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
    if (got <= 0) return false;
    pending_.append(chunk, static_cast<size_t>(got));
    return true;
  }

  const sim::Site& site_;
  int fd_ = -1;
  std::string pending_;
};

double duration_of(const std::string& body) {
  const size_t at = body.find("\norvo_probe_duration_seconds ");
  return at == std::string::npos ? -1 : std::atof(body.c_str() + at + 29);
}

bool up(const std::string& body) { return body.find("\norvo_up 1\n") != std::string::npos; }

// A sample's value as the probe's body has it ("-" when absent).
std::string value_of(const std::string& body, const std::string& name) {
  const size_t at = body.find("\n" + name + " ");
  if (at == std::string::npos) return "-";
  const size_t start = at + name.size() + 2;
  return body.substr(start, body.find('\n', start) - start);
}

// The CPU time a process has used, in seconds (utime + stime of
// /proc/PID/stat).
double cpu_seconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  const size_t name_end = text.rfind(')');
  if (name_end == std::string::npos) return -1;
  std::istringstream fields(text.substr(name_end + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) ticks += std::atof(field.c_str());
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The UDP datagrams sent and received so far in the client's network
// (where the exporter is the only one to send any): /proc/net/snmp as a
// program there reads it.
std::pair<long, long> udp_counters(const sim::Site& site) {
  const sim::RunResult snmp =
      site.client_host().run_in_network({"/bin/cat", "/proc/net/snmp"}, 10s);
  std::istringstream lines(snmp.out);
  std::vector<std::string> names;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Udp: ", 0) != 0) continue;
    std::istringstream words(line.substr(5));
    std::vector<std::string> row;
    for (std::string word; words >> word;) row.push_back(word);
    if (names.empty()) {
      names = row;
      continue;
    }
    long in = -1, out = -1;
    for (size_t i = 0; i < names.size() && i < row.size(); ++i) {
      if (names[i] == "InDatagrams") in = std::atol(row[i].c_str());
      if (names[i] == "OutDatagrams") out = std::atol(row[i].c_str());
    }
    return {out, in};
  }
  return {-1, -1};
}

struct Measured {
  double seconds;
  long sent, received;
  std::string body;
};

Measured measure(const sim::Site& site, Connection& connection, const std::string& target) {
  const auto before = udp_counters(site);
  const Clock::time_point start = Clock::now();
  Measured measured{0, 0, 0, connection.get(target)};
  measured.seconds = seconds_since(start);
  const auto after = udp_counters(site);
  measured.sent = after.first - before.first;
  measured.received = after.second - before.second;
  return measured;
}

// The median of count probes of one target, and the datagrams of the last.
void print_probe(const sim::Site& site, Connection& connection, const std::string& what,
                 const std::string& target, int count) {
  std::vector<double> times;
  Measured last{};
  for (int i = 0; i < count; ++i) {
    last = measure(site, connection, target);
    times.push_back(last.seconds);
  }
  std::sort(times.begin(), times.end());
  printf("%-34s %3ld sent, %3ld received, %7.1f ms (median of %d; orvo_up %s, "
         "orvo_dsp_up %s, orvo_settings_differences %s)\n",
         what.c_str(), last.sent, last.received, 1000 * times[times.size() / 2], count,
         value_of(last.body, "orvo_up").c_str(), value_of(last.body, "orvo_dsp_up").c_str(),
         value_of(last.body, "orvo_settings_differences").c_str());
}

// Every appliance probed every 15 s for the given time, each at its own
// offset within the interval: how many probes, how many failed, the
// slowest, and the exporter's CPU time and resident set.
bool sustained(pid_t exporter, std::vector<std::unique_ptr<Connection>>& connections, int seconds) {
  constexpr auto kInterval = 15s;
  const int count = static_cast<int>(connections.size());
  std::atomic<int> done{0}, failed{0};
  std::atomic<long> peak_kib{resident_kib(exporter)};
  std::mutex slowest_lock;
  double slowest = 0;
  const double cpu_start = cpu_seconds(exporter);
  const long rss_start = resident_kib(exporter);
  const Clock::time_point start = Clock::now();
  const Clock::time_point end = start + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&, i] {
      for (Clock::time_point next = start + kInterval * i / count; next < end; next += kInterval) {
        std::this_thread::sleep_until(next);
        const Clock::time_point probe_start = Clock::now();
        const std::string body =
            connections[static_cast<size_t>(i)]->get("/probe?target=" + sim::Site::address(i));
        const double took = seconds_since(probe_start);
        if (!up(body)) ++failed;
        ++done;
        const std::lock_guard hold(slowest_lock);
        slowest = std::max(slowest, took);
      }
    });
  }
  while (Clock::now() < end) {
    std::this_thread::sleep_for(500ms);
    peak_kib = std::max(peak_kib.load(), resident_kib(exporter));
  }
  for (std::thread& thread : threads) thread.join();
  const double wall = seconds_since(start);
  const double cpu = cpu_seconds(exporter) - cpu_start;
  printf("every %d appliances probed every 15 s for %d s: %d probes, %.2f probes/s, %d failed, "
         "slowest %.3f s\n",
         count, seconds, done.load(), done / wall, failed.load(), slowest);
  printf("exporter over it: %.2f s CPU (%.2f %% of one CPU, %.2f ms per probe), resident set "
         "%ld KiB at start, %ld KiB at most\n",
         cpu, 100 * cpu / wall, done > 0 ? 1000 * cpu / done : 0.0, rss_start, peak_kib.load());
  return failed == 0;
}

}  // namespace

int main(int argc, char** argv) {
  int count = 50, rounds = 5, probes = 10000, seconds = 60;
  std::string program = ORVO_EXPORTER_PATH, mode = "rate";
  for (int option; (option = getopt(argc, argv, "n:r:p:e:m:s:")) != -1;) {
    switch (option) {
      case 'n':
        count = std::atoi(optarg);
        break;
      case 'r':
        rounds = std::atoi(optarg);
        break;
      case 'p':
        probes = std::atoi(optarg);
        break;
      case 'e':
        program = optarg;
        break;
      case 'm':
        mode = optarg;
        break;
      case 's':
        seconds = std::atoi(optarg);
        break;
      default:
        return 2;
    }
  }
  if (count < 1 || count > sim::Site::kMaxAppliances || rounds < 1 || probes < 1 || seconds < 1 ||
      (mode != "rate" && mode != "probe" && mode != "sustained") ||
      (mode == "probe" && count < 2)) {
    fprintf(stderr,
            "usage: orvo-exporter-bench [-n 1..%d] [-r ROUNDS] [-p PROBES] [-e EXPORTER]\n"
            "                           [-m rate|probe|sustained] [-s SECONDS]\n"
            "(-m probe needs 2 appliances at least)\n",
            sim::Site::kMaxAppliances);
    return 2;
  }
  std::string error;
  const std::unique_ptr<sim::Site> site = sim::Site::create(count, &error);
  if (!site || !site->start_all(&error)) {
    fprintf(stderr, "cannot make the site: %s\n", error.c_str());
    return 1;
  }
  // A room's settings file, from appliance 0 as it starts.
  char folder[] = "/tmp/orvo-exporter-bench.XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  const std::string room = std::string(folder) + "/room.orvo";
  const sim::RunResult snapshot = site->client({"-s", sim::Site::address(0)}, 60s);
  std::ofstream(room) << snapshot.out;
  chmod(folder, 0755);
  sim::SpawnOptions in_client_network;
  in_client_network.net_ns = site->client_host().network_namespace();
  const pid_t exporter = sim::spawn(
      {program, "--listen", "127.0.0.1:" + std::to_string(kPort), "--targets", sim::Site::subnet(),
       "--max-probes", std::to_string(count + 8), "--settings-dir", folder},
      in_client_network);
  bool ready = false;
  for (int tries = 0; tries < 500 && !ready; ++tries) {
    ready = !Connection(*site).get("/metrics").empty();
    if (!ready) std::this_thread::sleep_for(10ms);
  }
  const auto finish = [&](bool well) {
    kill(exporter, SIGTERM);
    const std::optional<int> status = sim::wait_exit(exporter, 10s);
    if (!status) sim::kill_child(exporter);
    unlink(room.c_str());
    rmdir(folder);
    return well && status == 0 ? 0 : 1;
  };
  if (exporter <= 0 || !ready || snapshot.status != 0) {
    fprintf(stderr, "%s\n",
            snapshot.status != 0 ? "no snapshot of appliance 0" : "the exporter does not answer");
    return exporter > 0 ? finish(false) : 1;
  }
  printf("%s on a site of %d appliances (2 CPUs shared by all)\n", program.c_str(), count);

  if (mode == "probe") {
    Connection connection(*site);
    const std::string target = "/probe?target=" + sim::Site::address(0);
    print_probe(*site, connection, "probe of a well appliance:", target, 10);
    print_probe(*site, connection, "... with its room's file:", target + "&settings=room.orvo", 10);
    // Appliance 1's DSP hangs: the daemon waits for it on every DSP read.
    for (unsigned param = 0; param < kDspParamCount; ++param) {
      dsp_standin_set_fault(site->dsp(1), param, DspFault::hang);
    }
    print_probe(*site, connection, "probe of one whose DSP hangs:",
                "/probe?target=" + sim::Site::address(1) + "&settings=room.orvo", 1);
    // What that left the daemon busy with: a plain probe of it at once.
    for (unsigned param = 0; param < kDspParamCount; ++param) {
      dsp_standin_set_fault(site->dsp(1), param, DspFault::none);
    }
    print_probe(*site, connection,
                "the same, its DSP well, at once:", "/probe?target=" + sim::Site::address(1), 1);
    return finish(true);
  }
  if (mode == "sustained") {
    std::vector<std::unique_ptr<Connection>> connections;
    for (int i = 0; i < count; ++i) connections.push_back(std::make_unique<Connection>(*site));
    return finish(sustained(exporter, connections, seconds));
  }
  printf("orvo-exporter on a site of %d appliances (2 CPUs shared by all)\n", count);
  const long rss_start = resident_kib(exporter);

  // One connection per appliance, as Prometheus keeps one per target.
  std::vector<std::unique_ptr<Connection>> connections;
  for (int i = 0; i < count; ++i) connections.push_back(std::make_unique<Connection>(*site));
  const auto probe_of = [](int i) { return "/probe?target=" + sim::Site::address(i); };

  // A scrape of the whole site: every appliance probed at once.
  std::vector<double> scrapes;
  double slowest_probe = 0;
  int down = 0;
  for (int round = 0; round < rounds; ++round) {
    std::atomic<int> waiting{count};
    std::vector<double> durations(static_cast<size_t>(count));
    std::vector<std::thread> threads;
    Clock::time_point start;
    std::atomic<bool> go{false};
    for (int i = 0; i < count; ++i) {
      threads.emplace_back([&, i] {
        --waiting;
        while (!go) std::this_thread::yield();
        const std::string body = connections[static_cast<size_t>(i)]->get(probe_of(i));
        if (!up(body)) ++down;
        durations[static_cast<size_t>(i)] = duration_of(body);
      });
    }
    while (waiting > 0) std::this_thread::sleep_for(1ms);
    start = Clock::now();
    go = true;
    for (std::thread& thread : threads) thread.join();
    scrapes.push_back(seconds_since(start));
    slowest_probe = std::max(slowest_probe, *std::max_element(durations.begin(), durations.end()));
  }
  std::vector<double> sorted = scrapes;
  std::sort(sorted.begin(), sorted.end());
  printf("scrape of all %d, probed at once: %.3f s fewest, %.3f s median, %.3f s most "
         "(%d rounds; slowest single probe %.3f s; %d probes found an appliance down)\n",
         count, sorted.front(), sorted[sorted.size() / 2], sorted.back(), rounds, slowest_probe,
         down);

  // Probes again and again: the rate, and the resident set at every tenth.
  printf("exporter resident set: %ld KiB at start, %ld KiB after the scrapes\n", rss_start,
         resident_kib(exporter));
  std::atomic<int> started{0}, done{0}, failed{0};
  std::mutex print;
  const int step = std::max(1, probes / 10);
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> workers;
  for (int i = 0; i < count; ++i) {
    workers.emplace_back([&, i] {
      while (started++ < probes) {
        if (!up(connections[static_cast<size_t>(i)]->get(probe_of(i)))) ++failed;
        const int finished = ++done;
        if (finished % step == 0) {
          const std::lock_guard lock(print);
          printf("  after %6d probes: %6ld KiB resident, %.0f probes/s so far\n", finished,
                 resident_kib(exporter), finished / seconds_since(start));
        }
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  const double took = seconds_since(start);
  printf("%d probes in %.2f s: %.0f probes/s (%d connections; %d failed)\n", probes, took,
         probes / took, count, failed.load());

  return finish(down == 0 && failed == 0);
}
