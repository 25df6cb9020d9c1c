// The exporter on a virtual site: it runs in the client's network and is
// asked over HTTP there, as Prometheus asks it.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "protocol/platform.h"
#include "protocol/protocol.h"
#include "sim/process.h"
#include "sim/site.h"

using namespace std::chrono_literals;

namespace {

constexpr int kPort = 9494;
// The exporter may probe 192.0.2.0-15: the appliances (.10, .11) and a
// silent listener of the client's host (.3); .20 is outside. It may also
// send to the site's broadcast address.
const std::string kTargets = "192.0.2.0/28,192.0.2.255";
const std::string kSilent = "192.0.2.3";
const std::string kOutside = "192.0.2.20";

struct Response {
  int status = 0;  // 0: no answer
  std::string type;
  std::string body;
};

// A folder of settings files, removed at the end of the test.
class Folder {
 public:
  Folder() {
    const char* tmp = getenv("TMPDIR");
    path_ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/orvo-exporter.XXXXXX";
    if (mkdtemp(path_.data()) == nullptr) path_.clear();
  }
  ~Folder() {
    if (!path_.empty()) sim::run({"/bin/rm", "-rf", path_}, 10s);
  }
  const std::string& path() const { return path_; }
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(path_ + "/" + name, std::ios::binary) << text;
  }

 private:
  std::string path_;
};

// A UDP socket of the client's host at address:49494 that never answers.
class Listener {
 public:
  Listener(const sim::Site& site, const std::string& address) {
    fd_ = site.client_host().open_udp();
    sockaddr_in own{};
    own.sin_family = AF_INET;
    own.sin_port = htons(orvo::kControlPort);
    inet_pton(AF_INET, address.c_str(), &own.sin_addr);
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&own), sizeof own) == 0;
  }
  ~Listener() { close(fd_); }
  bool bound() const { return bound_; }
  // The datagrams received so far; waits up to timeout for the first.
  std::vector<std::string> received(std::chrono::milliseconds timeout = 0ms) const {
    std::vector<std::string> all;
    pollfd ready{fd_, POLLIN, 0};
    for (int wait = static_cast<int>(timeout.count()); poll(&ready, 1, wait) > 0; wait = 0) {
      char datagram[2048];
      const ssize_t got = recv(fd_, datagram, sizeof datagram, 0);
      if (got < 0) break;
      all.emplace_back(datagram, static_cast<size_t>(got));
    }
    return all;
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

class Exporter : public ::testing::Test {
 protected:
  // A site of count appliances, each daemon started, and the exporter on the
  // client's host with the given options beside the usual ones.
  void start(int count, std::vector<std::string> options = {}) {
    std::string error;
    site = sim::Site::create(count, &error);
    ASSERT_TRUE(site) << "cannot make the site: " << error;
    ASSERT_TRUE(site->start_all(&error)) << error;
    ASSERT_FALSE(folder.path().empty());
    start_exporter(options);
  }

  // The exporter alone (again), its log appended to log_path when set.
  void start_exporter(std::vector<std::string> options) {
    std::vector<std::string> argv = {
        ORVO_EXPORTER_PATH, "--listen",  "127.0.0.1:" + std::to_string(kPort),
        "--targets",        kTargets,    "--settings-dir",
        folder.path(),      "--timeout", "1"};
    argv.insert(argv.end(), options.begin(), options.end());
    sim::SpawnOptions in_client_network;
    in_client_network.net_ns = site->client_host().network_namespace();
    const int log =
        log_path.empty() ? -1 : open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    in_client_network.err = log;
    exporter = sim::spawn(argv, in_client_network);
    if (log >= 0) close(log);
    ASSERT_GT(exporter, 0);
    for (int tries = 0; tries < 500; ++tries) {
      if (get("/metrics").status == 200) return;
      std::this_thread::sleep_for(10ms);
    }
    FAIL() << "the exporter never answered";
  }

  // Ends the exporter with SIGTERM, which it takes as the end: status 0.
  void stop_exporter() {
    kill(exporter, SIGTERM);
    EXPECT_EQ(sim::wait_exit(exporter, 10s), std::optional<int>(0));
    sim::kill_child(exporter);
    exporter = -1;
  }

  void TearDown() override {
    if (exporter > 0) stop_exporter();
    site.reset();
  }

  // One HTTP request to the exporter, as HTTP/1.0: the answer ends with the
  // connection.
  Response get(const std::string& target, const std::string& method = "GET") const {
    Response response;
    const int fd = site->client_host().open_socket(SOCK_STREAM);
    const timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string request = method + " " + target + " HTTP/1.0\r\nHost: test\r\n\r\n";
    std::string all;
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
      char chunk[4096];
      for (ssize_t got; (got = recv(fd, chunk, sizeof chunk, 0)) > 0;) all.append(chunk, got);
    }
    close(fd);
    std::smatch head;
    if (std::regex_search(all, head, std::regex("^HTTP/1\\.[01] (\\d{3}) "))) {
      response.status = std::stoi(head[1]);
    }
    if (std::regex_search(all, head,
                          std::regex("\r\nContent-Type: ([^\r]*)\r\n", std::regex::icase))) {
      response.type = head[1];
    }
    const size_t body = all.find("\r\n\r\n");
    if (body != std::string::npos) response.body = all.substr(body + 4);
    return response;
  }

  // What promtool says of a text of metrics: "" when it takes it.
  static std::string promtool_check(const std::string& text) {
    const Folder scratch;
    scratch.write("metrics", text);
    const int in = open((scratch.path() + "/metrics").c_str(), O_RDONLY | O_CLOEXEC);
    sim::SpawnOptions from_file;
    from_file.in = in;
    const sim::RunResult run =
        sim::run({"/bin/sh", "-c", "exec promtool check metrics"}, 30s, from_file);
    close(in);
    return run.status == 0
               ? ""
               : "promtool status " + std::to_string(run.status) + ": " + run.out + run.err;
  }

  // The value of one sample ("name{labels}" as written), or nullopt.
  static std::optional<double> sample(const std::string& text, const std::string& series) {
    const size_t at = text.find("\n" + series + " ");
    if (at == std::string::npos) return std::nullopt;
    return std::stod(text.substr(at + series.size() + 2));
  }

  std::string ask(int appliance, const std::string& request) const {
    return site->appliance(appliance).request(request + "\r").value_or("<no reply>");
  }

  std::unique_ptr<sim::Site> site;
  Folder folder;
  std::string log_path;
  pid_t exporter = -1;
};

TEST_F(Exporter, ProbeReportsEveryReadingInTextThatPromtoolTakes) {
  start(2);
  // A version that needs escaping, and settings of every kind.
  site->appliance(0).write_file(kVersionPath, "2.1.0 \"lab\" \\ build\n");
  for (const char* request : {"TRACKING 0", "APT 2", "EQ 1 5", "NULL 3 7", "STS 2 R=0",
                              "STSB 4 B=50", "SRGB 9 255 0 0"}) {
    ASSERT_EQ(ask(0, request).rfind("ACK ", 0), 0u) << request;
  }
  dsp_standin_set_value(site->dsp(0), 10, 0x0102);  // the DSP status word

  const Response probe = get("/probe?target=" + sim::Site::address(0));
  ASSERT_EQ(probe.status, 200) << probe.body;
  EXPECT_EQ(probe.type, "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_EQ(promtool_check(probe.body), "") << probe.body;
  const std::string& text = "\n" + probe.body;
  for (const char* line : {
           "orvo_up 1",
           "orvo_version_info{version=\"2.1.0 \\\"lab\\\" \\\\ build\"} 1",
           "orvo_dsp_status 258",
           "orvo_tracking_enabled 0",
           "orvo_noise_suppression_enabled 1",
           "orvo_apt_mode 2",
           "orvo_eq_gain_decibels{band=\"1\"} 5",
           "orvo_null_mask 136",
           "orvo_led_on{channel=\"2\",component=\"red\"} 0",
           "orvo_led_on{channel=\"2\",component=\"green\"} 1",
           "orvo_led_level_percent{channel=\"4\",component=\"blue\"} 50",
           "orvo_led_level_percent{channel=\"9\",component=\"red\"} 100",
           "orvo_led_on{channel=\"16\",component=\"blue\"} 0",
           "orvo_probe_refused_queries 0",
       }) {
    EXPECT_NE(text.find(std::string("\n") + line + "\n"), std::string::npos)
        << "missing: " << line << "\n"
        << text;
  }
  EXPECT_EQ(text.find("orvo_settings_differences"), std::string::npos);
  EXPECT_LT(sample(text, "orvo_probe_duration_seconds").value_or(9), 1.0);

  // A DSP that fails one read: the rest is still reported, and the refusal counted.
  dsp_standin_set_fault(site->dsp(1), 10, DspFault::error_code, 5);
  const Response failing = get("/probe?target=" + sim::Site::address(1));
  EXPECT_EQ(sample("\n" + failing.body, "orvo_up"), 1.0) << failing.body;
  EXPECT_EQ(sample("\n" + failing.body, "orvo_probe_refused_queries"), 1.0) << failing.body;
  EXPECT_EQ(failing.body.find("orvo_dsp_status "), std::string::npos) << failing.body;
  EXPECT_NE(failing.body.find("\norvo_apt_mode "), std::string::npos) << failing.body;

  const Response own = get("/metrics");
  ASSERT_EQ(own.status, 200);
  EXPECT_EQ(promtool_check(own.body), "") << own.body;
  EXPECT_EQ(sample("\n" + own.body, "orvo_exporter_probes_total"), 2.0) << own.body;
  EXPECT_EQ(sample("\n" + own.body, "orvo_exporter_probe_failures_total"), 0.0) << own.body;
  EXPECT_NE(own.body.find("\norvo_exporter_build_info{version=\""), std::string::npos);
}

TEST_F(Exporter, BadRequestsAreRefusedWithNothingSentAndASilentTargetIsDown) {
  start(1, {"--max-probes", "1"});
  std::string error;
  ASSERT_TRUE(site->add_client_address(kSilent, &error)) << error;
  ASSERT_TRUE(site->add_client_address(kOutside, &error)) << error;
  const Listener silent(*site, kSilent), outside(*site, kOutside);
  ASSERT_TRUE(silent.bound() && outside.bound());
  folder.write("room", "EQ 1 -3\n");
  ASSERT_EQ(symlink("/etc/passwd", (folder.path() + "/passwd").c_str()), 0);
  ASSERT_EQ(mkdir((folder.path() + "/sub").c_str(), 0755), 0);
  folder.write("sub/room", "EQ 1 -3\n");
  folder.write("binary", std::string("EQ 1 -3\n\0EQ 2 0\n", 16));

  const std::string on = "/probe?target=" + kSilent;
  // What only a real request shows: the query as the HTTP library decodes
  // it, names resolved in the client's network, the broadcast address, the
  // routes (exporter_unit_tests checks the handlers' every refusal). Each
  // with the start of its message.
  struct Case {
    std::string target;
    int status;
    std::string message;
  };
  const std::string no_value = "parameter 'target' without a value, or with a NUL byte\n";
  const std::string not_found = "not found: the exporter serves /probe, /discover and /metrics\n";
  const Case cases[] = {
      {"/probe?target", 400, no_value},
      {"/probe?target=a%00b", 400, no_value},
      {"/probe?target=" + kSilent + "&target=" + kSilent, 400, "parameter 'target' given twice\n"},
      {"/probe?target=192.0.2.300", 400, "target '192.0.2.300' does not resolve"},
      {"/probe?target=name.that.does.not.resolve.invalid", 400,
       "target 'name.that.does.not.resolve.invalid' does not resolve to an IPv4 address ("},
      {"/probe?target=" + kOutside, 403, "target " + kOutside + " is outside the --targets\n"},
      {"/probe?target=localhost", 403, "target 127.0.0.1 is outside the --targets\n"},
      {"/probe?target=192.0.2.255", 400,
       "target 192.0.2.255 is a broadcast address (/discover finds appliances with it)\n"},
      {on + "&settings=sub%2Froom", 400,
       "settings 'sub/room' is not the name of a file in the settings folder\n"},
      {on + "&settings=passwd", 400, "settings file 'passwd' cannot be opened (a symbolic link)\n"},
      {on + "&settings=binary", 400, "binary:2: NUL byte (not a text file)\n"},
      {"/discover?range=192.0.2.0/8", 400,
       "range '192.0.2.0/8' is not an address or A.B.C.D/BITS with BITS from 16 to 32\n"},
      {"/discover?range=" + kOutside, 403, "range " + kOutside + " is not inside the --targets\n"},
      {"/", 404, not_found},
      {"/probe/", 404, not_found},
      {"/metrics/x", 404, not_found},
  };
  for (const Case& c : cases) {
    const Response response = get(c.target);
    EXPECT_EQ(response.status, c.status) << c.target << ": " << response.body;
    EXPECT_EQ(response.type, "text/plain; charset=utf-8") << c.target;
    EXPECT_EQ(response.body.substr(0, c.message.size()), c.message) << c.target;
  }
  EXPECT_EQ(get(on, "POST").status, 405);
  EXPECT_EQ(get("/probe?target=" + kSilent + "&settings=room", "DELETE").status, 405);
  EXPECT_TRUE(silent.received().empty());
  EXPECT_TRUE(outside.received().empty());

  // A target that does not answer is down, within the time-out (1 s).
  // While its probe runs, a second one is beyond --max-probes.
  Response down;
  std::thread first([&] { down = get(on + "&settings=room"); });
  const std::vector<std::string> asked = silent.received(5s);
  ASSERT_FALSE(asked.empty());
  EXPECT_EQ(asked[0], "VERSION\r");
  EXPECT_EQ(get("/probe?target=" + sim::Site::address(0)).status, 503);
  first.join();
  ASSERT_EQ(down.status, 200);
  EXPECT_EQ(sample("\n" + down.body, "orvo_up"), 0.0) << down.body;
  // Given up by the exporter's own deadline (the slack is for a loaded machine).
  EXPECT_LE(sample("\n" + down.body, "orvo_probe_duration_seconds").value_or(9), 1.5) << down.body;
  EXPECT_EQ(down.body.find("orvo_version_info"), std::string::npos) << down.body;
  EXPECT_EQ(promtool_check(down.body), "") << down.body;
  EXPECT_TRUE(outside.received().empty());

  const Response own = get("/metrics");
  EXPECT_EQ(sample("\n" + own.body, "orvo_exporter_probe_failures_total"), 1.0) << own.body;
  EXPECT_EQ(sample("\n" + own.body, "orvo_exporter_requests_refused_total{code=\"503\"}"), 1.0);
}

TEST_F(Exporter, SettingsComparisonCountsWhatDriftedFromTheRoomsFile) {
  start(2);
  for (const char* request : {"TRACKING 0", "EQ 0 -20", "NULL 3", "SRGB 0 10 20 30", "STS 5 G=0",
                              "STSB 5 G=70", "SRGB 16 9 8 7"}) {
    ASSERT_EQ(ask(0, request).rfind("ACK ", 0), 0u) << request;
  }
  const sim::RunResult snapshot = site->client({"-s", sim::Site::address(0)}, 60s);
  ASSERT_EQ(snapshot.status, 0) << snapshot.err;
  folder.write("room-a", snapshot.out);
  // A file by hand: some settings only, in another form than -s writes.
  folder.write("by-hand", "# the room's audio\nTRACKING 0\n  EQ 0 -20  \n\nNULLMASK 8\n");

  const auto differences = [&](int appliance, const std::string& name) {
    const Response probe =
        get("/probe?target=" + sim::Site::address(appliance) + "&settings=" + name);
    EXPECT_EQ(probe.status, 200) << probe.body;
    EXPECT_EQ(promtool_check(probe.body), "") << probe.body;
    return sample("\n" + probe.body, "orvo_settings_differences").value_or(-1);
  };
  EXPECT_EQ(differences(0, "room-a"), 0) << snapshot.out;
  EXPECT_EQ(differences(0, "by-hand"), 0);
  // The other appliance has its first settings: tracking, the band, the
  // mask and every LED channel differ (the colours do not).
  EXPECT_EQ(differences(1, "room-a"), 3 + 16) << snapshot.out;
  EXPECT_EQ(differences(1, "by-hand"), 3);

  // Changed by hand: a band, one component of a channel switched off, and
  // the level of a switched-off component by a step.
  ASSERT_EQ(ask(0, "EQ 1 4"), "ACK EQ 1 4\r");
  ASSERT_EQ(ask(0, "STS 12 B=0"), "ACK STS 12 B=0\r");
  ASSERT_EQ(ask(0, "STSB 5 G=80"), "ACK STSB 5 G=80\r");
  EXPECT_EQ(differences(0, "room-a"), 3);
  EXPECT_EQ(differences(0, "by-hand"), 0);  // none of its settings changed
  // Applied again, the file leaves nothing to tell.
  const sim::RunResult apply =
      site->client({"-a", folder.path() + "/room-a", sim::Site::address(0)}, 60s);
  ASSERT_EQ(apply.status, 0) << apply.out << apply.err;
  EXPECT_EQ(differences(0, "room-a"), 0);
}

// The JSON of one discovered target: its labels in the order written.
std::string target_json(const std::string& address, const std::string& labels) {
  return "{\"targets\": [\"" + address + "\"], \"labels\": {" + labels + "}}";
}

TEST_F(Exporter, DiscoveryKeepsARosterLabelsRoomsAndReloadsOnSighup) {
  const Folder state;
  log_path = folder.path() + "/exporter.log";
  // 192.0.3.0/24 may be asked too: the client's host will have no route to it.
  const std::vector<std::string> options = {"--state-dir", state.path(), "--targets",
                                            "192.0.2.0/23"};
  folder.write("site.conf", "# rooms\n192.0.2.10 hall\n192.0.2.0/24 floor\nnonsense\n");
  folder.write("hall", "EQ 1 -3\n");  // floor has no file
  start(3, options);
  site->appliance(0).write_file(kVersionPath, "2.0.0\n");
  site->appliance(1).write_file(kVersionPath, "2.1.0 \xff\"rc\"\n");  // not UTF-8
  ASSERT_TRUE(site->appliance(2).kill_daemon());

  // Found: each with its version (made valid UTF-8), when it was first and
  // last seen, its room, and the room's settings file where there is one.
  const Response found = get("/discover?range=192.0.2.0/28");
  ASSERT_EQ(found.status, 200) << found.body;
  EXPECT_EQ(found.type, "application/json");
  std::smatch seen;
  ASSERT_TRUE(std::regex_search(found.body, seen,
                                std::regex("\"__meta_orvo_first_seen\": \"([0-9]+)\", "
                                           "\"__meta_orvo_last_seen\": \"([0-9]+)\"")));
  const std::string times = seen[0];
  EXPECT_EQ(seen[1], seen[2]);
  const std::string first_of_11 = "\"__meta_orvo_first_seen\": \"" + std::string(seen[1]) + "\"";
  const std::string appliance_10 =
      target_json("192.0.2.10", "\"__meta_orvo_version\": \"2.0.0\", " + times +
                                    ", \"room\": \"hall\", \"__param_settings\": \"hall\"");
  const std::string appliance_11 =
      target_json("192.0.2.11", "\"__meta_orvo_version\": \"2.1.0 \xef\xbf\xbd\\\"rc\\\"\", " +
                                    times + ", \"room\": \"floor\"");
  EXPECT_EQ(found.body, "[\n  " + appliance_10 + ",\n  " + appliance_11 + "\n]\n");
  // A broadcast lists what it found, the same but for when it was last seen.
  const std::regex last_seen("\"__meta_orvo_last_seen\": \"[0-9]+\"");
  EXPECT_EQ(std::regex_replace(get("/discover?range=192.0.2.255").body, last_seen, "-"),
            std::regex_replace(found.body, last_seen, "-"));
  EXPECT_EQ(get("/discover?range=192.0.2.0/29").body, "[]\n");
  const Response own = get("/metrics");
  EXPECT_EQ(sample("\n" + own.body, "orvo_exporter_roster_appliances"), 2.0) << own.body;
  EXPECT_EQ(sample("\n" + own.body, "orvo_exporter_site_file_usable"), 0.0) << own.body;

  // One that misses a discovery (its daemon gone) stays a target, and so
  // it does after the exporter's restart, first seen as before.
  ASSERT_TRUE(site->appliance(1).kill_daemon());
  EXPECT_NE(get("/discover?range=192.0.2.0/28").body.find("\"192.0.2.11\"], \"labels\": {"),
            std::string::npos);
  stop_exporter();
  start_exporter(options);
  const Response after_restart = get("/discover?range=192.0.2.0/28");
  ASSERT_EQ(after_restart.status, 200);
  const size_t at_11 = after_restart.body.find("\"192.0.2.11\"");
  ASSERT_NE(at_11, std::string::npos) << after_restart.body;
  EXPECT_NE(after_restart.body.find(first_of_11, at_11), std::string::npos) << after_restart.body;

  // A range that could not be searched whole (no route to half of it):
  // 503, so that Prometheus keeps the targets it has.
  sim::SpawnOptions in_client_network;
  in_client_network.net_ns = site->client_host().network_namespace();
  const sim::RunResult route = sim::run(
      {"/bin/sh", "-c", "exec ip route add unreachable 192.0.3.0/24"}, 10s, in_client_network);
  ASSERT_EQ(route.status, 0) << route.err;
  const Response partial = get("/discover?range=192.0.2.0/23");
  EXPECT_EQ(partial.status, 503);
  EXPECT_EQ(partial.body.rfind("range 192.0.2.0/23 could not be searched whole (", 0), 0u)
      << partial.body;

  // The operator forgets .11 (its line deleted) and moves .10 to another
  // room, then reloads: the exporter goes on, says what it read, and lists
  // the new state.
  const std::string roster = sim::read_text(state.path() + "/roster");
  const size_t line_11 = roster.find("\n192.0.2.11 ");
  ASSERT_NE(line_11, std::string::npos) << roster;
  state.write("roster",
              roster.substr(0, line_11 + 1) + roster.substr(roster.find('\n', line_11 + 1) + 1));
  folder.write("site.conf", "192.0.2.10 studio\n");
  folder.write("studio", "EQ 1 0\n");
  ASSERT_EQ(kill(exporter, SIGHUP), 0);
  std::string log;
  for (int tries = 0; tries < 500 && log.find("reloaded") == std::string::npos; ++tries) {
    std::this_thread::sleep_for(10ms);
    log = sim::read_text(log_path);
  }
  EXPECT_NE(log.find("orvo-exporter: reloaded site.conf (rooms: 1) and the roster (appliances: 1)"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("site.conf:4: not a network and a room name: 'nonsense'"), std::string::npos)
      << log;
  const Response reloaded = get("/discover?range=192.0.2.0/28");
  EXPECT_EQ(reloaded.status, 200);
  EXPECT_EQ(reloaded.body.find("192.0.2.11"), std::string::npos) << reloaded.body;
  EXPECT_NE(reloaded.body.find("\"room\": \"studio\", \"__param_settings\": \"studio\"}}"),
            std::string::npos)
      << reloaded.body;
  EXPECT_EQ(sample("\n" + get("/metrics").body, "orvo_exporter_site_file_usable"), 1.0);
}

}  // namespace
