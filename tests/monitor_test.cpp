// A site watched as its operators would watch it: the exporter, a real
// Prometheus server and a real Alertmanager (Debian's) in the client's
// network of a virtual site, running the shipped example configurations and
// alerting rules (only their intervals and the rules' waiting times
// shortened), Alertmanager notifying a receiver of the test's own; every
// other check asked of Prometheus' and Alertmanager's HTTP APIs.

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "protocol/dsp_mailbox.h"
#include "protocol/platform.h"
#include "sim/process.h"
#include "sim/site.h"

using namespace std::chrono_literals;

namespace {

// As the example configurations have them.
constexpr int kExporterPort = 9494;
constexpr int kPrometheusPort = 9090;
constexpr int kAlertmanagerPort = 9093;
constexpr int kReceiverPort = 5001;

// One result of an instant query: its labels and its value.
struct Sample {
  std::map<std::string, std::string> labels;
  std::string value;
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::string url_encode(const std::string& text) {
  std::string out;
  for (const unsigned char c : text) {
    if (isalnum(c) != 0 || c == '-' || c == '_' || c == '.') {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

// The text's lines sorted (each ended by a newline).
std::string sorted_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  std::string all;
  for (const std::string& line : lines) all += line + "\n";
  return all;
}

// The receiver Alertmanager notifies: an HTTP listener on a socket given to
// it (in the site's client network) that answers every request 200 and
// keeps, for each alert of each notification, one line:
//   STATUS ALERTNAME INSTANCE-OR-JOB [setting=SETTING]
class Receiver {
 public:
  explicit Receiver(int listening) : fd_(listening), thread_([this] { serve(); }) {}
  ~Receiver() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // Every line so far, sorted, each ended by a newline.
  std::string lines() const {
    std::lock_guard<std::mutex> hold(mutex_);
    std::string all;
    for (const std::string& line : lines_) all += line + "\n";
    return sorted_lines(all);
  }

 private:
  void serve() {
    while (!stop_) {
      pollfd ready{fd_, POLLIN, 0};
      if (poll(&ready, 1, 200) != 1) continue;
      const int connection = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) continue;
      const timeval timeout{5, 0};
      setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
      std::string request;
      size_t want = std::string::npos;  // the whole request's length, once known
      char chunk[8192];
      while (request.size() < want && request.size() < (1u << 20)) {
        const ssize_t got = recv(connection, chunk, sizeof chunk, 0);
        if (got <= 0) break;
        request.append(chunk, static_cast<size_t>(got));
        const size_t head = request.find("\r\n\r\n");
        std::smatch length;
        if (want == std::string::npos && head != std::string::npos &&
            std::regex_search(request, length, std::regex("[Cc]ontent-[Ll]ength: *([0-9]+)"))) {
          want = head + 4 + std::stoul(length[1]);
        }
      }
      static const char kOk[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      send(connection, kOk, sizeof kOk - 1, MSG_NOSIGNAL);
      close(connection);
      record(request.substr(std::min(request.size(), request.find("\r\n\r\n") + 4)));
    }
  }

  // Alertmanager's webhook body: {"receiver":...,"alerts":[{"status":"firing",
  // "labels":{"alertname":"...",...},...},...],...}; label values here hold
  // no quotes or braces.
  void record(const std::string& body) {
    static const std::regex alert(R"re(\{"status":"(firing|resolved)","labels":\{([^}]*)\})re");
    static const std::regex label(R"re("([^"]+)":"([^"]*)")re");
    std::lock_guard<std::mutex> hold(mutex_);
    for (auto it = std::sregex_iterator(body.begin(), body.end(), alert);
         it != std::sregex_iterator(); ++it) {
      std::map<std::string, std::string> labels;
      const std::string text = (*it)[2];
      for (auto l = std::sregex_iterator(text.begin(), text.end(), label);
           l != std::sregex_iterator(); ++l) {
        labels[(*l)[1]] = (*l)[2];
      }
      std::string line = std::string((*it)[1]) + " " + labels["alertname"] + " " +
                         (labels.count("instance") != 0 ? labels["instance"] : labels["job"]);
      if (labels.count("setting") != 0) line += " setting=" + labels["setting"];
      lines_.push_back(line);
    }
  }

  const int fd_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  std::thread thread_;  // last: starts once the rest is made
};

// The text with the waiting time ("for: ...") of each named alert replaced.
std::string with_waiting_times(std::string rules,
                               const std::vector<std::pair<std::string, std::string>>& times) {
  for (const auto& [alert, time] : times) {
    const size_t rule = rules.find("- alert: " + alert + "\n");
    const size_t wait = rules.find("for: ", rule);
    const size_t end = rules.find('\n', wait);
    if (rule == std::string::npos || wait == std::string::npos || end == std::string::npos) {
      ADD_FAILURE() << "no waiting time for " << alert << " in the rules";
      continue;
    }
    rules.replace(wait, end - wait, "for: " + time);
  }
  return rules;
}

class Monitor : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = getenv("TMPDIR");
    folder = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/orvo-monitor.XXXXXX";
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    ASSERT_EQ(mkdir((folder + "/settings").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((folder + "/state").c_str(), 0755), 0);
  }

  void TearDown() override {
    for (pid_t* pid : {&prometheus, &alertmanager, &exporter}) {
      if (*pid <= 0) continue;
      kill(*pid, SIGTERM);
      if (!sim::wait_exit(*pid, 20s)) sim::kill_child(*pid);
      *pid = -1;
    }
    if (HasFailure()) {
      std::cerr << "Prometheus' log:\n" << read_file(folder + "/prometheus.log");
      std::cerr << "Alertmanager's log:\n" << read_file(folder + "/alertmanager.log");
      std::cerr << "the exporter's log:\n" << read_file(folder + "/exporter.log");
    }
    receiver.reset();
    site.reset();
    sim::run({"/bin/rm", "-rf", folder}, 30s);
  }

  // Starts a program in the client's network, its output to a log file.
  pid_t start(const std::vector<std::string>& argv, const std::string& log) const {
    const int fd =
        open((folder + "/" + log).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    sim::SpawnOptions options;
    options.net_ns = site->client_host().network_namespace();
    options.out = fd;
    options.err = fd;
    options.die_with_parent = true;  // nothing outlives a test that crashed
    const pid_t pid = sim::spawn(argv, options);
    close(fd);
    return pid;
  }

  // A GET over HTTP/1.0 in the client's network: the status and the body.
  std::pair<int, std::string> get(int port, const std::string& target) const {
    const int fd = site->client_host().open_socket(SOCK_STREAM);
    const timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    std::string all;
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
      char chunk[8192];
      for (ssize_t got; (got = recv(fd, chunk, sizeof chunk, 0)) > 0;) all.append(chunk, got);
    }
    if (fd >= 0) close(fd);
    std::smatch head;
    if (!std::regex_search(all, head, std::regex("^HTTP/1\\.[01] (\\d{3}) "))) return {0, ""};
    const size_t body = all.find("\r\n\r\n");
    return {std::stoi(head[1]), body == std::string::npos ? "" : all.substr(body + 4)};
  }

  // An instant query of Prometheus; nullopt when it did not answer with
  // success. Prometheus writes each result as
  //   {"metric":{"name":"value",...},"value":[time,"value"]}
  // with label values that here never hold quotes.
  std::optional<std::vector<Sample>> query(const std::string& expression) const {
    const auto [status, body] =
        get(kPrometheusPort, "/api/v1/query?query=" + url_encode(expression));
    if (status != 200 || body.find("\"status\":\"success\"") == std::string::npos)
      return std::nullopt;
    std::vector<Sample> samples;
    static const std::regex result(
        R"re(\{"metric":\{([^}]*)\},"value":\[[0-9.e+]+,"([^"]*)"\]\})re");
    static const std::regex label(R"re("([^"]+)":"([^"]*)")re");
    for (auto it = std::sregex_iterator(body.begin(), body.end(), result);
         it != std::sregex_iterator(); ++it) {
      Sample sample;
      const std::string labels = (*it)[1];
      for (auto l = std::sregex_iterator(labels.begin(), labels.end(), label);
           l != std::sregex_iterator(); ++l) {
        sample.labels[(*l)[1]] = (*l)[2];
      }
      sample.value = (*it)[2];
      samples.push_back(sample);
    }
    return samples;
  }

  // The query's results as "instance=value" lines, sorted by instance: the
  // value of each, or that of one of its labels.
  std::string by_instance(const std::string& expression, const std::string& label = "") const {
    const auto samples = query(expression);
    if (!samples) return "<no answer>";
    std::map<std::string, std::string> lines;
    for (const Sample& sample : *samples) {
      const auto instance = sample.labels.find("instance");
      const auto value = sample.labels.find(label);
      lines[instance == sample.labels.end() ? "-" : instance->second] =
          label.empty()                  ? sample.value
          : value == sample.labels.end() ? "-"
                                         : value->second;
    }
    std::string all;
    for (const auto& [instance, value] : lines) all += instance + "=" + value + "\n";
    return all;
  }

  // The alerts firing now, one line each: name and instance (or job).
  std::string firing() const {
    const auto samples = query("ALERTS{alertstate=\"firing\"}");
    if (!samples) return "<no answer>";
    std::vector<std::string> lines;
    for (const Sample& sample : *samples) {
      auto labels = sample.labels;
      lines.push_back(labels["alertname"] + " " +
                      (labels.count("instance") != 0 ? labels["instance"] : labels["job"]));
    }
    std::sort(lines.begin(), lines.end());
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    return all;
  }

  // Waits until check() gives want, asking every half second; the last
  // answer.
  std::string wait_for(const std::function<std::string()>& check, const std::string& want,
                       std::chrono::seconds timeout = 60s) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string got = check();
    while (got != want && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(500ms);
      got = check();
    }
    return got;
  }

  // The receiver's socket: listening on the client network's loopback.
  int receiver_socket() const {
    const int fd = site->client_host().open_socket(SOCK_STREAM);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(kReceiverPort);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 &&
        (bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(fd, 16) != 0)) {
      close(fd);
      return -1;
    }
    return fd;
  }

  // The alerts Alertmanager holds now that it mutes by inhibition, one line
  // each: name and instance. Its API writes each alert as an object with
  // "status":{"inhibitedBy":[...],...} before "labels":{...}.
  std::string inhibited() const {
    const auto [status, body] = get(kAlertmanagerPort, "/api/v2/alerts");
    if (status != 200) return "<no answer>";
    static const std::regex alert(
        R"re("status":\{"inhibitedBy":\[("[^\]]+)\][^}]*\}[^{]*"labels":\{([^}]*)\})re");
    static const std::regex name(R"re("alertname":"([^"]*)")re");
    static const std::regex instance(R"re("instance":"([^"]*)")re");
    std::vector<std::string> lines;
    for (auto it = std::sregex_iterator(body.begin(), body.end(), alert);
         it != std::sregex_iterator(); ++it) {
      const std::string labels = (*it)[2];
      std::smatch n, i;
      std::regex_search(labels, n, name);
      std::regex_search(labels, i, instance);
      lines.push_back(std::string(n[1]) + " " + std::string(i[1]));
    }
    std::sort(lines.begin(), lines.end());
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    return all;
  }

  std::unique_ptr<sim::Site> site;
  std::unique_ptr<Receiver> receiver;
  std::string folder;
  pid_t exporter = -1;
  pid_t prometheus = -1;
  pid_t alertmanager = -1;
};

TEST_F(Monitor, PrometheusAndAlertmanagerWithTheShippedConfigurationPageWhatMustBeFixed) {
  std::string error;
  site = sim::Site::create(3, &error);
  ASSERT_TRUE(site) << "cannot make the site: " << error;
  // Appliance 0 runs a newer version than the other two.
  const std::string versions[] = {"3.1.5-site", "3.1.4-site", "3.1.4-site"};
  for (int i = 0; i < 3; ++i) site->appliance(i).write_file(kVersionPath, versions[i] + "\n");
  ASSERT_TRUE(site->start_all(&error)) << error;
  const std::string a0 = sim::Site::address(0), a1 = sim::Site::address(1),
                    a2 = sim::Site::address(2);

  // The room's settings file, as commissioned: the appliances' defaults.
  const sim::RunResult snapshot = site->client({"-s", a0}, 60s);
  ASSERT_EQ(snapshot.status, 0) << snapshot.err;
  // The site file puts every appliance in it; the exporter's roster is kept
  // in a folder of its own.
  std::ofstream(folder + "/settings/hall") << snapshot.out;
  std::ofstream(folder + "/settings/site.conf") << sim::Site::subnet() << " hall\n";
  std::smatch eq1;
  ASSERT_TRUE(std::regex_search(snapshot.out, eq1, std::regex("\nEQ 1 (-?[0-9]+)\n")))
      << snapshot.out;

  const std::vector<std::string> exporter_command = {ORVO_EXPORTER_PATH,
                                                     "--listen",
                                                     "127.0.0.1:" + std::to_string(kExporterPort),
                                                     "--targets",
                                                     sim::Site::subnet(),
                                                     "--settings-dir",
                                                     folder + "/settings",
                                                     "--state-dir",
                                                     folder + "/state",
                                                     "--timeout",
                                                     "1"};
  exporter = start(exporter_command, "exporter.log");
  ASSERT_GT(exporter, 0);

  // The shipped configurations and rules, adapted: scrapes and evaluations
  // every few seconds, the exporter and Alertmanager on this network's
  // loopback, the site's network as the discovery range; notifications
  // grouped and sent within seconds. The rules' waiting times a few
  // seconds, but longer where the rule must let something pass: an
  // appliance's restart (about 13 s without an answer) for
  // OrvoApplianceDown, the few seconds between the exporter's and the
  // probes' scrapes for OrvoProbeRefused; OrvoMixedSoftwareVersions keeps
  // its two hours (it is seen pending).
  std::string config = read_file(ORVO_PROMETHEUS_DIR "/prometheus.yml");
  std::string rules = read_file(ORVO_PROMETHEUS_DIR "/orvo-rules.yml");
  std::string routing = read_file(ORVO_PROMETHEUS_DIR "/alertmanager.yml");
  for (const char* text :
       {"scrape_interval: 1m", "scrape_timeout: 10s", "range=192.0.2.0/24", "localhost:9093"}) {
    ASSERT_NE(config.find(text), std::string::npos) << text;
  }
  for (const char* text :
       {"group_wait: 30s", "group_interval: 5m", "url: http://127.0.0.1:5001/orvo"}) {
    ASSERT_NE(routing.find(text), std::string::npos) << text;
  }
  config = replace_all(config, "scrape_interval: 1m", "scrape_interval: 2s");
  config = replace_all(config, "evaluation_interval: 1m", "evaluation_interval: 1s");
  config = replace_all(config, "scrape_timeout: 10s", "scrape_timeout: 2s");
  config = replace_all(config, "localhost:9494", "127.0.0.1:" + std::to_string(kExporterPort));
  config = replace_all(config, "localhost:9093", "127.0.0.1:" + std::to_string(kAlertmanagerPort));
  config = replace_all(config, "range=192.0.2.0/24", "range=" + sim::Site::subnet());
  rules = with_waiting_times(rules, {{"OrvoApplianceDown", "40s"},
                                     {"OrvoDspDown", "2s"},
                                     {"OrvoSettingsDrift", "2s"},
                                     {"OrvoSettingsFileUnusable", "2s"},
                                     {"OrvoExporterDown", "2s"},
                                     {"OrvoProbeRefused", "20s"}});
  routing = replace_all(routing, "group_wait: 30s", "group_wait: 1s");
  routing = replace_all(routing, "group_interval: 5m", "group_interval: 2s");
  std::ofstream(folder + "/prometheus.yml") << config;
  std::ofstream(folder + "/orvo-rules.yml") << rules;
  std::ofstream(folder + "/alertmanager.yml") << routing;

  const int listening = receiver_socket();
  ASSERT_GE(listening, 0) << "cannot listen on port " << kReceiverPort;
  receiver = std::make_unique<Receiver>(listening);
  alertmanager =
      start({"/usr/bin/prometheus-alertmanager", "--config.file=" + folder + "/alertmanager.yml",
             "--storage.path=" + folder + "/alertmanager",
             "--web.listen-address=127.0.0.1:" + std::to_string(kAlertmanagerPort),
             "--cluster.listen-address="},
            "alertmanager.log");
  ASSERT_GT(alertmanager, 0);
  prometheus = start({"/usr/bin/prometheus", "--config.file=" + folder + "/prometheus.yml",
                      "--storage.tsdb.path=" + folder + "/data",
                      "--web.listen-address=127.0.0.1:" + std::to_string(kPrometheusPort)},
                     "prometheus.log");
  ASSERT_GT(prometheus, 0);

  // Every appliance discovered and up, each with its version; the exporter
  // scraped as well; two versions on the site (pending its two hours).
  const std::string all_up = a0 + "=1\n" + a1 + "=1\n" + a2 + "=1\n";
  EXPECT_EQ(wait_for([&] { return by_instance("orvo_up"); }, all_up, 90s), all_up);
  const std::string rooms = a0 + "=hall\n" + a1 + "=hall\n" + a2 + "=hall\n";
  EXPECT_EQ(by_instance("orvo_up", "room"), rooms);
  const std::string scraped = "127.0.0.1:" + std::to_string(kExporterPort) + "=1\n" + all_up;
  EXPECT_EQ(wait_for([&] { return by_instance("up"); }, scraped), scraped);
  const std::string version_labels =
      a0 + "=" + versions[0] + "\n" + a1 + "=" + versions[1] + "\n" + a2 + "=" + versions[2] + "\n";
  EXPECT_EQ(wait_for([&] { return by_instance("orvo_version_info", "version"); }, version_labels),
            version_labels);
  const std::string mixed = "-=orvo\n";
  EXPECT_EQ(wait_for(
                [&] {
                  return by_instance(
                      "ALERTS{alertname=\"OrvoMixedSoftwareVersions\",alertstate=\"pending\"}",
                      "job");
                },
                mixed),
            mixed);
  // As commissioned, the DSPs well, every setting as the room's file has it.
  const std::string zeros = a0 + "=0\n" + a1 + "=0\n" + a2 + "=0\n";
  EXPECT_EQ(wait_for([&] { return by_instance("orvo_settings_differences"); }, zeros), zeros);
  EXPECT_EQ(by_instance("orvo_dsp_status"), zeros);
  const std::string ones = a0 + "=1\n" + a1 + "=1\n" + a2 + "=1\n";
  EXPECT_EQ(by_instance("orvo_dsp_up"), ones);
  EXPECT_EQ(by_instance("min by (instance) (orvo_setting_matches)"), ones);
  EXPECT_EQ(by_instance("orvo_settings_file_usable"), ones);
  EXPECT_EQ(receiver->lines(), "");

  // At once: appliance 0 restarted with its microphone test, appliance 2
  // stopped. The stopped one pages, once; the restarted one, back within
  // the waiting time, does not (had it stayed down it would have paged
  // first, as it went down first).
  ASSERT_TRUE(site->appliance(0).kill_daemon());
  ASSERT_TRUE(site->appliance(0).start_daemon({}, &error)) << error;
  ASSERT_TRUE(site->appliance(2).kill_daemon());
  std::string notified = "firing OrvoApplianceDown " + a2 + "\n";
  EXPECT_EQ(wait_for([&] { return receiver->lines(); }, notified, 120s), notified);
  const std::string one_down = a0 + "=1\n" + a1 + "=1\n" + a2 + "=0\n";
  EXPECT_EQ(wait_for([&] { return by_instance("orvo_up"); }, one_down), one_down);
  // (Prometheus saw the restart.)
  EXPECT_EQ(by_instance("min_over_time(orvo_up{instance=\"" + a0 + "\"}[10m])"), a0 + "=0\n");
  EXPECT_EQ(receiver->lines(), notified);

  // At once: appliance 0's DSP refuses every read; appliance 1's EQ band 1
  // changed by hand. A DSP alert for 0, a drift alert for 1 naming the
  // setting; each resolves when mended (the DSP well again, the band put
  // back as the room's file has it).
  for (unsigned param = 0; param < kDspParamCount; ++param) {
    dsp_standin_set_fault(site->dsp(0), param, DspFault::error_code, 5);
  }
  const sim::RunResult change = site->client({a1, "EQ", "1", "-4"}, 20s);
  ASSERT_EQ(change.out, "ACK EQ 1 -4\n") << change.err;
  notified +=
      "firing OrvoDspDown " + a0 + "\nfiring OrvoSettingsDrift " + a1 + " setting=eq_band_1\n";
  notified = sorted_lines(notified);
  EXPECT_EQ(wait_for([&] { return receiver->lines(); }, notified), notified);
  EXPECT_EQ(by_instance("orvo_up"), one_down);
  EXPECT_EQ(by_instance("orvo_settings_differences > 0"), a1 + "=1\n");
  EXPECT_EQ(by_instance("orvo_dsp_up"), a0 + "=0\n" + a1 + "=1\n");
  for (unsigned param = 0; param < kDspParamCount; ++param) {
    dsp_standin_set_fault(site->dsp(0), param, DspFault::none);
  }
  const sim::RunResult back = site->client({a1, "EQ", "1", eq1[1]}, 20s);
  ASSERT_EQ(back.out, "ACK EQ 1 " + std::string(eq1[1]) + "\n") << back.err;
  notified +=
      "resolved OrvoDspDown " + a0 + "\nresolved OrvoSettingsDrift " + a1 + " setting=eq_band_1\n";
  notified = sorted_lines(notified);
  EXPECT_EQ(wait_for([&] { return receiver->lines(); }, notified), notified);

  // The exporter stopped: its own alert, one notification; the stopped
  // appliance's alert held and muted, none of the probes' alerts. Then the
  // exporter back: its alert resolves, and nothing else is sent again.
  kill(exporter, SIGTERM);
  ASSERT_TRUE(sim::wait_exit(exporter, 20s));
  exporter = -1;
  const std::string exporter_instance = "127.0.0.1:" + std::to_string(kExporterPort);
  const std::string sorted =
      sorted_lines(notified + "firing OrvoExporterDown " + exporter_instance + "\n");
  EXPECT_EQ(wait_for([&] { return receiver->lines(); }, sorted), sorted);
  const std::string muted = "OrvoApplianceDown " + a2 + "\n";
  EXPECT_EQ(wait_for([&] { return inhibited(); }, muted), muted);
  EXPECT_EQ(firing(), "OrvoApplianceDown " + a2 + "\nOrvoExporterDown " + exporter_instance + "\n");
  exporter = start(exporter_command, "exporter.log");
  ASSERT_GT(exporter, 0);
  notified = sorted_lines(sorted + "resolved OrvoExporterDown " + exporter_instance + "\n");
  EXPECT_EQ(wait_for([&] { return receiver->lines(); }, notified), notified);
  EXPECT_EQ(wait_for([&] { return by_instance("orvo_up"); }, one_down), one_down);
  EXPECT_EQ(wait_for([&] { return inhibited(); }, ""), "");
  EXPECT_EQ(firing(), "OrvoApplianceDown " + a2 + "\n");
  EXPECT_EQ(receiver->lines(), notified);
}

}  // namespace
