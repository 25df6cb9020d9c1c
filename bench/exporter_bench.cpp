// orvo-exporter-bench: the exporter over a site of many appliances. A
// program that prints figures, not a test.
//
//   orvo-exporter-bench [-n APPLIANCES] [-r ROUNDS] [-p PROBES]
//
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
// Needs root and bubblewrap; tools/exporter-bench.sh builds it in Release
// and runs it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

}  // namespace

int main(int argc, char** argv) {
  int count = 50, rounds = 5, probes = 10000;
  for (int option; (option = getopt(argc, argv, "n:r:p:")) != -1;) {
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
      default:
        return 2;
    }
  }
  if (count < 1 || count > sim::Site::kMaxAppliances || rounds < 1 || probes < 1) {
    fprintf(stderr, "usage: orvo-exporter-bench [-n 1..%d] [-r ROUNDS] [-p PROBES]\n",
            sim::Site::kMaxAppliances);
    return 2;
  }
  std::string error;
  const std::unique_ptr<sim::Site> site = sim::Site::create(count, &error);
  if (!site || !site->start_all(&error)) {
    fprintf(stderr, "cannot make the site: %s\n", error.c_str());
    return 1;
  }
  sim::SpawnOptions in_client_network;
  in_client_network.net_ns = site->client_host().network_namespace();
  const pid_t exporter =
      sim::spawn({ORVO_EXPORTER_PATH, "--listen", "127.0.0.1:" + std::to_string(kPort), "--targets",
                  sim::Site::subnet(), "--max-probes", std::to_string(count + 8)},
                 in_client_network);
  bool ready = false;
  for (int tries = 0; tries < 500 && !ready; ++tries) {
    ready = !Connection(*site).get("/metrics").empty();
    if (!ready) std::this_thread::sleep_for(10ms);
  }
  if (exporter <= 0 || !ready) {
    fprintf(stderr, "the exporter does not answer\n");
    if (exporter > 0) sim::kill_child(exporter);
    return 1;
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

  kill(exporter, SIGTERM);
  const std::optional<int> status = sim::wait_exit(exporter, 10s);
  if (!status) sim::kill_child(exporter);
  return down == 0 && failed == 0 && status == 0 ? 0 : 1;
}
