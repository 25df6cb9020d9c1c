// A site watched as its operators would watch it: the exporter and a real
// Prometheus server (Debian's) in the client's network of a virtual site,
// Prometheus running the shipped example configuration and alerting rules
// (only its intervals and the rules' waiting times shortened), and every
// check asked of Prometheus' HTTP API.

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <netinet/in.h>
#include <optional>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "protocol/platform.h"
#include "sim/process.h"
#include "sim/site.h"

using namespace std::chrono_literals;

namespace {

constexpr int kExporterPort = 9494;  // as the example configuration has it
constexpr int kPrometheusPort = 9090;

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

class Monitor : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = getenv("TMPDIR");
    folder = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/orvo-monitor.XXXXXX";
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    ASSERT_EQ(mkdir((folder + "/settings").c_str(), 0755), 0);
  }

  void TearDown() override {
    for (pid_t* pid : {&prometheus, &exporter}) {
      if (*pid <= 0) continue;
      kill(*pid, SIGTERM);
      if (!sim::wait_exit(*pid, 20s)) sim::kill_child(*pid);
      *pid = -1;
    }
    if (HasFailure()) {
      std::cerr << "Prometheus' log:\n" << read_file(folder + "/prometheus.log");
      std::cerr << "the exporter's log:\n" << read_file(folder + "/exporter.log");
    }
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

  std::unique_ptr<sim::Site> site;
  std::string folder;
  pid_t exporter = -1;
  pid_t prometheus = -1;
};

TEST_F(Monitor, PrometheusWithTheShippedConfigurationSeesTheSiteAndAlerts) {
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
  std::ofstream(folder + "/settings/room.orvo") << snapshot.out;

  exporter = start(
      {ORVO_EXPORTER_PATH, "--listen", "127.0.0.1:" + std::to_string(kExporterPort), "--targets",
       sim::Site::subnet(), "--settings-dir", folder + "/settings", "--timeout", "1"},
      "exporter.log");
  ASSERT_GT(exporter, 0);

  // The shipped configuration and rules, adapted: scrapes and evaluations
  // every few seconds, the rules' waiting times a few seconds, the exporter
  // on this network's loopback, the site's network as the discovery range.
  // (Discovery keeps its interval: an appliance that stops answering is
  // seen down before the next discovery drops it.)
  std::string config = read_file(ORVO_PROMETHEUS_DIR "/prometheus.yml");
  std::string rules = read_file(ORVO_PROMETHEUS_DIR "/orvo-rules.yml");
  ASSERT_NE(config.find("scrape_interval: 1m"), std::string::npos);
  ASSERT_NE(config.find("scrape_timeout: 10s"), std::string::npos);
  ASSERT_NE(config.find("range=192.0.2.0/24"), std::string::npos);
  config = replace_all(config, "scrape_interval: 1m", "scrape_interval: 2s");
  config = replace_all(config, "evaluation_interval: 1m", "evaluation_interval: 1s");
  config = replace_all(config, "scrape_timeout: 10s", "scrape_timeout: 2s");
  config = replace_all(config, "localhost:9494", "127.0.0.1:" + std::to_string(kExporterPort));
  config = replace_all(config, "range=192.0.2.0/24", "range=" + sim::Site::subnet());
  rules = std::regex_replace(rules, std::regex("for: [0-9]+[smh]"), "for: 3s");
  std::ofstream(folder + "/prometheus.yml") << config;
  std::ofstream(folder + "/orvo-rules.yml") << rules;

  prometheus = start({"/usr/bin/prometheus", "--config.file=" + folder + "/prometheus.yml",
                      "--storage.tsdb.path=" + folder + "/data",
                      "--web.listen-address=127.0.0.1:" + std::to_string(kPrometheusPort)},
                     "prometheus.log");
  ASSERT_GT(prometheus, 0);

  // Every appliance discovered and up, each with its version; the exporter
  // scraped as well; two versions on the site.
  const std::string all_up = a0 + "=1\n" + a1 + "=1\n" + a2 + "=1\n";
  EXPECT_EQ(wait_for([&] { return by_instance("orvo_up"); }, all_up, 90s), all_up);
  const std::string scraped = "127.0.0.1:" + std::to_string(kExporterPort) + "=1\n" + all_up;
  EXPECT_EQ(wait_for([&] { return by_instance("up"); }, scraped), scraped);
  const std::string version_labels =
      a0 + "=" + versions[0] + "\n" + a1 + "=" + versions[1] + "\n" + a2 + "=" + versions[2] + "\n";
  EXPECT_EQ(wait_for([&] { return by_instance("orvo_version_info", "version"); }, version_labels),
            version_labels);
  // As commissioned, the DSPs well.
  const std::string zeros = a0 + "=0\n" + a1 + "=0\n" + a2 + "=0\n";
  EXPECT_EQ(by_instance("orvo_settings_differences"), zeros);
  EXPECT_EQ(by_instance("orvo_dsp_status"), zeros);

  // One appliance changed by hand: drift from the room's file.
  const sim::RunResult change = site->client({a1, "EQ", "1", "-4"}, 20s);
  ASSERT_EQ(change.out, "ACK EQ 1 -4\n") << change.err;
  const std::string drift = a0 + "=0\n" + a1 + "=1\n" + a2 + "=0\n";
  EXPECT_EQ(wait_for([&] { return by_instance("orvo_settings_differences"); }, drift), drift);

  // One appliance stopped: down.
  ASSERT_TRUE(site->appliance(2).kill_daemon());
  const std::string one_down = a0 + "=1\n" + a1 + "=1\n" + a2 + "=0\n";
  EXPECT_EQ(wait_for([&] { return by_instance("orvo_up"); }, one_down), one_down);

  // The alerts: exactly these, each for the appliance (or site) it is about.
  const std::string alerts = "OrvoApplianceDown " + a2 + "\nOrvoMixedSoftwareVersions orvo\n" +
                             "OrvoSettingsDrift " + a1 + "\n";
  EXPECT_EQ(wait_for([&] { return firing(); }, alerts), alerts);
}

}  // namespace
