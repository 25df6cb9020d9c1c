// The exporter's code in-process, without root or a site: its options and
// the address ranges, the metric text, the handlers' refusals, and /probe's
// whole answer for a fake appliance on 127.0.0.1 against a golden file
// (ORVO_UPDATE_GOLDEN=1 rewrites it).

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <crypt.h>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "client/fleet.h"
#include "exporter/handlers.h"
#include "exporter/metrics.h"
#include "exporter/options.h"
#include "exporter/probe.h"
#include "exporter/settings_folder.h"
#include "site/site.h"
#include "tests/fake_appliance.h"

namespace {

using exporter::Label;

std::string range_text(const char* text, int smallest_prefix) {
  AddressRange range;
  if (!range_parse(text, smallest_prefix, &range)) return "refused";
  char first[INET_ADDRSTRLEN], last[INET_ADDRSTRLEN];
  const in_addr a{htonl(range.first)}, b{htonl(range.last)};
  inet_ntop(AF_INET, &a, first, sizeof first);
  inet_ntop(AF_INET, &b, last, sizeof last);
  return std::string(first) + "-" + last;
}

TEST(Ranges, OneRuleForAddressesAndNetworks) {
  // Network and broadcast addresses belong to the range; find leaves them out.
  EXPECT_EQ(range_text("192.0.2.7", 16), "192.0.2.7-192.0.2.7");
  EXPECT_EQ(range_text("192.0.2.7/28", 16), "192.0.2.0-192.0.2.15");
  EXPECT_EQ(range_text("192.0.2.7/31", 16), "192.0.2.6-192.0.2.7");
  EXPECT_EQ(range_text("10.1.2.3/16", 16), "10.1.0.0-10.1.255.255");
  EXPECT_EQ(range_text("10.1.2.3/8", 0), "10.0.0.0-10.255.255.255");
  EXPECT_EQ(range_text("10.1.2.3/0", 0), "0.0.0.0-255.255.255.255");
  for (const char* text : {"10.1.2.3/15", "10.1.2.3/33", "10.1.2.3/", "10.1.2.3/2x", "10.1.2",
                           "10.1.2.300", "", "/24", "host/24", "10.1.2.3/24/1"}) {
    EXPECT_EQ(range_text(text, 16), "refused") << text;
  }
  long value = 0;
  EXPECT_TRUE(number_parse("100", 0, 100, &value) && value == 100);
  EXPECT_TRUE(number_parse("-3", -20, 6, &value) && value == -3);
  for (const char* text : {"101", "-1", "", "1x", "x", "99999999999999999999"}) {
    EXPECT_FALSE(number_parse(text, 0, 100, &value)) << text;
  }
  EXPECT_EQ(seconds_parse("0.5"), 500);
  EXPECT_EQ(seconds_parse("12"), 12000);
  EXPECT_EQ(seconds_parse("0"), -1);
  EXPECT_EQ(seconds_parse("86401"), -1);
  EXPECT_EQ(seconds_parse("1s"), -1);
}

int parse(std::vector<std::string> words, exporter::Options* options) {
  std::vector<char*> argv;
  words.insert(words.begin(), "orvo-exporter");
  for (std::string& word : words) argv.push_back(word.data());
  optind = 0;
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  const int status = exporter::options_parse(static_cast<int>(argv.size()), argv.data(), options);
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  return status;
}

TEST(Options, TakeTheNetworksListenAddressAndBounds) {
  exporter::Options options;
  ASSERT_EQ(parse({"--listen",          "127.0.0.1:9000",
                   "--targets",         "192.0.2.0/28,198.51.100.7",
                   "--targets",         "203.0.113.0/24",
                   "--timeout",         "0.5",
                   "--max-probes",      "8",
                   "--settings-dir",    "/tmp",
                   "--state-dir",       "/var/lib/x",
                   "--forget-after",    "36h",
                   "--tls-cert",        "c.pem",
                   "--tls-key",         "k.pem",
                   "--basic-auth-file", "users"},
                  &options),
            -1);
  EXPECT_EQ(options.state_dir, "/var/lib/x");
  EXPECT_EQ(options.forget_after_s, 36 * 3600);
  EXPECT_EQ(options.tls_cert + options.tls_key + options.basic_auth_file, "c.pemk.pemusers");
  EXPECT_EQ(ntohs(options.listen.sin_port), 9000);
  EXPECT_EQ(ntohl(options.listen.sin_addr.s_addr), INADDR_LOOPBACK);
  ASSERT_EQ(options.targets.size(), 3u);
  EXPECT_TRUE(exporter::networks_hold(options.targets, {0xC0000201, 0xC000020F}));
  EXPECT_TRUE(exporter::networks_hold(options.targets, {0xC6336407, 0xC6336407}));
  EXPECT_FALSE(exporter::networks_hold(options.targets, {0xC0000201, 0xC0000210}));
  EXPECT_EQ(options.timeout_ms, 500);
  EXPECT_EQ(options.max_probes, 8);
  EXPECT_EQ(options.settings_dir, "/tmp");

  exporter::Options defaults;
  ASSERT_EQ(parse({}, &defaults), -1);
  EXPECT_EQ(ntohs(defaults.listen.sin_port), 9494);
  EXPECT_EQ(defaults.timeout_ms, 5000);
  EXPECT_TRUE(defaults.targets.empty());
  EXPECT_EQ(defaults.forget_after_s, 7 * 86400);
  EXPECT_TRUE(defaults.state_dir.empty() && defaults.basic_auth_file.empty());
  EXPECT_EQ(parse({"--timeout", "25"}, &defaults), -1);
  EXPECT_EQ(exporter::duration_parse("90s"), 90);
  EXPECT_EQ(exporter::duration_parse("30m"), 1800);
  EXPECT_EQ(exporter::duration_parse("7d"), 7 * 86400);

  const std::vector<std::vector<std::string>> unusable = {
      {"--listen", "127.0.0.1"},
      {"--listen", ":0"},
      {"--listen", ":65536"},
      {"--targets", "192.0.2.0/33"},
      {"--targets", "192.0.2.0/24,"},
      {"--timeout", "0.05"},
      {"--timeout", "601"},
      {"--timeout", "25.001"},  // the HTTP server would cut it off at 30 s
      {"--forget-after", "7"},
      {"--forget-after", "7w"},
      {"--forget-after", "0d"},
      {"--forget-after", "3651d"},
      {"--forget-after", "+7d"},
      {"--state-dir", ""},
      {"--tls-cert", "c.pem"},
      {"--max-probes", "0"},
      {"--max-probes", "4097"},
      {"--settings-dir", ""},
      {"--timeout", "1", "--timeout", "2"},
      {"--bogus"},
      {"extra"},
      {"--listen"},
  };
  for (const auto& words : unusable) {
    exporter::Options refused;
    EXPECT_EQ(parse(words, &refused), 2) << words[0];
  }
  EXPECT_EQ(parse({"--help"}, &defaults), 0);
  EXPECT_EQ(parse({"--version"}, &defaults), 0);
}

TEST(MetricText, FamiliesSamplesAndEscapedLabels) {
  std::string out;
  exporter::family(&out, "orvo_a", "gauge", "Help with \"quotes\" and 10 % of it.");
  exporter::sample(&out, "orvo_a", {}, -3);
  exporter::sample(&out, "orvo_a", {{"x", "1"}, {"y", "a\"b\\c\nd\te"}}, 7);
  exporter::sample(&out, "orvo_a", {{"z", ""}}, 0.0125, 3);
  exporter::single(&out, "orvo_b_total", "counter", "Counted.", 12);
  EXPECT_EQ(out, "# HELP orvo_a Help with \"quotes\" and 10 % of it.\n"
                 "# TYPE orvo_a gauge\n"
                 "orvo_a -3\n"
                 "orvo_a{x=\"1\",y=\"a\\\"b\\\\c\\nd e\"} 7\n"
                 "orvo_a{z=\"\"} 0.013\n"
                 "# HELP orvo_b_total Counted.\n"
                 "# TYPE orvo_b_total counter\n"
                 "orvo_b_total 12\n");
  EXPECT_EQ(http::quotable(std::string("a'\"\\\n\x01z")), "a'\\\"\\\\\\n z");
}

// Whatever bytes a peer sends, labels and JSON strings stay valid UTF-8:
// what is not UTF-8 (stray continuation bytes, overlong forms, surrogates,
// beyond U+10FFFF, a sequence cut short) becomes one U+FFFD for each lead
// byte with the continuation bytes after it, or for a stray byte; the rest is
// kept.
TEST(Text, InvalidUtf8IsReplacedAndJsonEscaped) {
  const std::string bad = "\xef\xbf\xbd";
  EXPECT_EQ(http::utf8_valid("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xa4"),
            "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xa4");
  EXPECT_EQ(http::utf8_valid("a\x80"
                             "b\xc0\xaf"
                             "c\xed\xa0\x80"
                             "d\xf4\x90\x80\x80"
                             "e\xe2\x82"),
            "a" + bad + "b" + bad + bad + "c" + bad + "d" + bad + "e" + bad);
  EXPECT_EQ(http::json_string(std::string("v\"1\\\n\x01\x7f\xff", 8)),
            "\"v\\\"1\\\\\\u000a\\u0001\\u007f" + bad + "\"");
}

// The replies of an appliance with known settings, as its daemon words them.
std::map<std::string, std::string> known_appliance() {
  std::map<std::string, std::string> replies = {
      {"VERSION", "ACK VERSION 2.1.0 \"lab\" \\ build"},
      {"DSPSTATUS", "ACK DSPSTATUS 258"},
      {"TRACKING", "ACK TRACKING 0"},
      {"NOISESUP", "ACK NOISESUP 1"},
      {"APT", "ACK APT 2"},
      {"EQ 0", "ACK EQ 0 -20"},
      {"EQ 1", "ACK EQ 1 5"},
      {"EQ 2", "ACK EQ 2 0"},
      {"ACTNULCOL", "ACK ACTNULCOL 0 0 255 255 0 0"},
      {"NULLMASK", "ACK NULLMASK 136"},
  };
  std::string flags = "ACK GTS 0", percent = "ACK GTSB 0", levels = "ACK GRGB 0";
  for (int c = 1; c <= 16; ++c) {
    const int red = c == 3 || c == 7 ? 0 : 255, blue = 255 - red;
    const bool red_on = c != 2;
    const int shown_red = red_on ? red : 0;
    const std::string n = std::to_string(c);
    flags +=
        " CH" + n + "R=" + (red_on ? "1" : "0") + " CH" + n + "G=1 CH" + n + "B=1 CH" + n + "SC=0";
    const int blue_percent = c == 4 ? 50 : blue == 255 ? 100 : 0;
    percent += " CH" + n + "R=" + std::to_string(red == 255 ? 100 : 0) + " CH" + n + "G=0 CH" + n +
               "B=" + std::to_string(blue_percent) + " CH" + n + "SC=0";
    levels +=
        " CH" + n + " " + std::to_string(shown_red) + " 0 " + std::to_string(c == 4 ? 125 : blue);
  }
  replies["GTS 0"] = flags;
  replies["GTSB 0"] = percent;
  replies["GRGB 0"] = levels;
  return replies;
}

// A folder of settings files, removed at the end.
class Folder {
 public:
  Folder() {
    const char* tmp = getenv("TMPDIR");
    path_ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/orvo-unit.XXXXXX";
    if (mkdtemp(path_.data()) == nullptr) path_.clear();
  }
  ~Folder() {
    if (!path_.empty()) system(("rm -rf '" + path_ + "'").c_str());
  }
  const std::string& path() const { return path_; }
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(path_ + "/" + name, std::ios::binary) << text;
  }

 private:
  std::string path_;
};

// The answer without what changes from run to run: how long the probe took,
// and when the settings file was written.
std::string without_times(const std::string& text) {
  std::string out = std::regex_replace(text, std::regex("\norvo_probe_duration_seconds [0-9.]+\n"),
                                       "\norvo_probe_duration_seconds (filtered)\n");
  return std::regex_replace(out, std::regex("\norvo_settings_file_modified_seconds [0-9]+\n"),
                            "\norvo_settings_file_modified_seconds (filtered)\n");
}

// The probe's queries in the order sent: VERSION, what the daemon answers
// without its DSP, then the DSP reads.
const std::vector<std::string> kProbeLines = {
    "VERSION",  "ACTNULCOL", "GTS 0", "GTSB 0", "GRGB 0", "DSPSTATUS", "TRACKING",
    "NOISESUP", "APT",       "EQ 0",  "EQ 1",   "EQ 2",   "NULLMASK"};
constexpr int kFirstDspLine = 5;

TEST(Probe, WholeAnswerForKnownSettingsMatchesTheGoldenFile) {
  std::map<std::string, std::string> replies = known_appliance();
  replies["VERSION"] += "\xff";  // not UTF-8: the label takes U+FFFD instead
  const FakeAppliance appliance(replies);
  ASSERT_NE(appliance.port(), 0);
  const Folder folder;
  // The room wants tracking on (one difference) and has the rest.
  folder.write("room", "# the room\nTRACKING 1\nEQ 1 5\n  NULLMASK 136\n");
  exporter::SettingsFile room;
  exporter::settings_load(folder.path(), "room", &room);
  ASSERT_EQ(room.problem, "");

  std::string out;
  EXPECT_EQ(exporter::probe_run(appliance.address(), &room, 2000, &out), exporter::kProbeUp);
  // All thirteen queries, one datagram each (nothing is lost on the loopback).
  EXPECT_EQ(appliance.lines(), kProbeLines);

  const std::string golden = std::string(ORVO_GOLDEN_DIR) + "/probe.txt";
  const std::string got = without_times(out);
  if (getenv("ORVO_UPDATE_GOLDEN") != nullptr) std::ofstream(golden) << got;
  std::ifstream in(golden);
  std::stringstream want;
  want << in.rdbuf();
  EXPECT_EQ(got, want.str()) << "ORVO_UPDATE_GOLDEN=1 rewrites " << golden;
}

bool has(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

// A DSP that fails (the daemon refuses its reads, or takes so long over one
// that the probe gives up) leaves the appliance up and its DSP down: the
// probe skips the DSP reads after the first that fails, never sends a DSP
// read again while the daemon may still work on it, and keeps to its time.
TEST(Probe, ADspThatRefusesOrHangsIsDownAndTheApplianceUp) {
  const Folder folder;
  folder.write("room", "TRACKING 1\nSRGB 4 0 0 125\n");
  exporter::SettingsFile room;
  exporter::settings_load(folder.path(), "room", &room);
  ASSERT_EQ(room.problem, "");
  const std::vector<std::string> before_dsp(kProbeLines.begin(),
                                            kProbeLines.begin() + kFirstDspLine);

  std::map<std::string, std::string> replies = known_appliance();
  replies.erase("DSPSTATUS");  // refused, as by a failing DSP
  {
    const FakeAppliance refusing(replies);
    std::string out, transcript;
    EXPECT_EQ(exporter::probe_run(refusing.address(), &room, 2000, &out, &transcript),
              exporter::kProbeUp);
    std::vector<std::string> sent = before_dsp;
    sent.push_back("DSPSTATUS");
    EXPECT_EQ(refusing.lines(), sent);
    for (const char* line :
         {"orvo_up 1", "orvo_dsp_up 0", "orvo_probe_refused_queries 1",
          "orvo_led_on{channel=\"2\",component=\"red\"} 0", "orvo_settings_file_usable 1"}) {
      EXPECT_TRUE(has(out, line)) << line << "\n" << out;
    }
    // Nothing of the DSP, and no comparison with half the settings.
    for (const char* name : {"orvo_dsp_status", "orvo_tracking_enabled", "orvo_channel_nulled",
                             "orvo_settings_differences", "orvo_setting_matches"}) {
      EXPECT_EQ(out.find(name), std::string::npos) << name << "\n" << out;
    }
    EXPECT_TRUE(std::regex_search(
        transcript, std::regex("\nDSPSTATUS: sent 1 time, [0-9]+ ms: refused \\(NACK\\)"
                               "\nTRACKING: not sent \\(a DSP read before it failed\\)"
                               "\n")))
        << transcript;
    EXPECT_NE(
        transcript.find("settings file room: usable, not compared: not every setting was read"),
        std::string::npos)
        << transcript;
  }
  {
    // Refused half-way: what was read before is kept.
    replies["DSPSTATUS"] = "ACK DSPSTATUS 1";
    replies.erase("EQ 1");
    const FakeAppliance failing_later(replies);
    std::string out;
    EXPECT_EQ(exporter::probe_run(failing_later.address(), nullptr, 2000, &out),
              exporter::kProbeUp);
    EXPECT_EQ(failing_later.lines(),
              std::vector<std::string>(kProbeLines.begin(), kProbeLines.begin() + 11));
    for (const char* line : {"orvo_dsp_up 0", "orvo_dsp_status 1", "orvo_apt_mode 2",
                             "orvo_eq_gain_decibels{band=\"0\"} -20"}) {
      EXPECT_TRUE(has(out, line)) << line << "\n" << out;
    }
    EXPECT_EQ(out.find("orvo_eq_gain_decibels{band=\"1\"}"), std::string::npos) << out;
  }
  {
    // Hung: the DSP reads go unanswered. The probe ends by its deadline with
    // the appliance up; DSPSTATUS was sent again 1.5 s after the first time
    // at the soonest, so at most twice in 2 s.
    replies = known_appliance();
    for (int line = kFirstDspLine; line < static_cast<int>(kProbeLines.size()); ++line) {
      replies[kProbeLines[line]] = "";
    }
    const FakeAppliance hung(replies);
    std::string out, transcript;
    EXPECT_EQ(exporter::probe_run(hung.address(), &room, 2000, &out, &transcript),
              exporter::kProbeUp);
    const std::vector<std::string> lines = hung.lines();
    ASSERT_GE(lines.size(), before_dsp.size() + 1);
    EXPECT_LE(lines.size(), before_dsp.size() + 2);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + kFirstDspLine), before_dsp);
    for (size_t i = kFirstDspLine; i < lines.size(); ++i) EXPECT_EQ(lines[i], "DSPSTATUS");
    for (const char* line : {"orvo_up 1", "orvo_dsp_up 0", "orvo_probe_timeout_seconds 2.000",
                             "orvo_probe_refused_queries 0"}) {
      EXPECT_TRUE(has(out, line)) << line << "\n" << out;
    }
    EXPECT_TRUE(std::regex_search(
        transcript, std::regex("\nDSPSTATUS: sent [12] times?, [0-9]+ ms: no reply\n")))
        << transcript;
  }

  // Nothing answers: down by the probe's deadline, with nothing but up, the
  // duration and the time-out.
  sockaddr_in nobody{};
  nobody.sin_family = AF_INET;
  nobody.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  nobody.sin_port = htons(1);  // refused by the system at once
  std::string down;
  EXPECT_EQ(exporter::probe_run(nobody, nullptr, 500, &down), exporter::kProbeDown);
  EXPECT_EQ(without_times(down),
            "# HELP orvo_up Whether the appliance answered (its VERSION at least).\n"
            "# TYPE orvo_up gauge\n"
            "orvo_up 0\n"
            "# HELP orvo_probe_duration_seconds How long the probe took.\n"
            "# TYPE orvo_probe_duration_seconds gauge\n"
            "orvo_probe_duration_seconds (filtered)\n"
            "# HELP orvo_probe_timeout_seconds The time the probe had: --timeout, or less to end "
            "within Prometheus' scrape time-out.\n"
            "# TYPE orvo_probe_timeout_seconds gauge\n"
            "orvo_probe_timeout_seconds 0.500\n");
}

http::Request request(const std::string& path,
                      std::vector<std::pair<std::string, std::string>> query = {}) {
  http::Request request{path, {}};
  for (auto& [name, value] : query) request.query.push_back({name, value, value != "\x01"});
  return request;
}

TEST(Handlers, RefuseBadRequestsWithTheirStatusAndReason) {
  const FakeAppliance appliance(known_appliance());
  const Folder folder;
  folder.write("room", "EQ 1 -3\n");
  folder.write("queries", "# not settings\nTRACKING\n");
  folder.write("binary", std::string("EQ 1 -3\n\0EQ 2 0\n", 16));
  folder.write("long", "EQ 1 -3\n" + std::string(3000, 'x') + "\n");
  ASSERT_EQ(mkdir((folder.path() + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink("/etc/passwd", (folder.path() + "/passwd").c_str()), 0);

  exporter::Options options;
  options.targets = {{0x7F000000, 0x7F0000FF}};
  options.settings_dir = folder.path();
  options.timeout_ms = 1000;
  options.appliance_port = appliance.port();
  exporter::Exporter state;
  state.options = &options;
  const http::ServerOptions server = exporter::server_options(&state);

  const std::string here = "127.0.0.1";
  struct Case {
    http::Request request;
    unsigned code;
    std::string body;
  };
  const Case cases[] = {
      {request("/probe"), 400, "no target given (/probe?target=HOST)"},
      {request("/probe", {{"target", ""}}), 400,
       "target '' is neither an IPv4 address nor a host name"},
      {request("/probe", {{"target", "\x01"}}), 400,
       "parameter 'target' without a value, or with a NUL byte"},
      {request("/probe", {{"target", here}, {"target", here}}), 400,
       "parameter 'target' given twice"},
      {request("/probe", {{"target", here}, {"ver\"bose", "1"}}), 400,
       "unknown parameter 'ver\\\"bose'"},
      {request("/probe", {{"target", "-x"}}), 400,
       "target '-x' is neither an IPv4 address nor a host name"},
      {request("/probe", {{"target", "192.0.2.1"}}), 403,
       "target 192.0.2.1 is outside the --targets"},
      {request("/probe", {{"target", here}, {"settings", ".."}}), 400,
       "settings '..' is not the name of a file in the settings folder"},
      {request("/probe", {{"target", here}, {"settings", "sub/room"}}), 400,
       "settings 'sub/room' is not the name of a file in the settings folder"},
      {request("/probe", {{"target", here}, {"debug", "1"}}), 400,
       "debug is true or false, not '1'"},
      {request("/discover"), 400, "no range given (/discover?range=A.B.C.D/BITS)"},
      {request("/discover", {{"range", "127.0.0.0/8"}}), 400,
       "range '127.0.0.0/8' is not an address or A.B.C.D/BITS with BITS from 16 to 32"},
      {request("/discover", {{"range", "127.0.0.0/16"}}), 403,
       "range 127.0.0.0/16 is not inside the --targets"},
      {request("/probe/"), 404,
       "not found: the exporter serves /, /probe, /discover, /metrics and /-/healthy"},
  };
  for (const Case& c : cases) {
    const http::Reply reply = http::route(server, "GET", c.request);
    EXPECT_EQ(reply.code, c.code) << c.request.path << ": " << reply.body;
    EXPECT_EQ(reply.body, c.body + "\n");
    EXPECT_STREQ(reply.type, http::kTextType);
  }
  const http::Reply post = http::route(server, "POST", request("/probe"));
  EXPECT_EQ(post.code, 405u);
  ASSERT_EQ(post.headers.size(), 1u);
  EXPECT_EQ(post.headers[0].second, "GET, HEAD");
  EXPECT_EQ(appliance.received(), 0);

  // And what may be probed is, at the port given.
  const http::Reply probed = http::route(server, "HEAD", request("/probe", {{"target", here}}));
  EXPECT_EQ(probed.code, 200u);
  EXPECT_STREQ(probed.type, exporter::kMetricsType);
  EXPECT_NE(probed.body.find("\norvo_up 1\n"), std::string::npos) << probed.body;
  EXPECT_EQ(state.probes.load(), 1u);

  // A settings file that cannot be compared with costs nothing else: the
  // probe answers as usual, and says why with debug=true.
  folder.write("empty", "");
  folder.write("comments", "# to be written\n\n");
  folder.write("partial", "EQ 1 -3\nSRGB 1 25");
  folder.write("good", "EQ 1 -3\nEQ 2 0\nSRGB 16 0 0 0\n");
  ASSERT_EQ(chmod((folder.path() + "/room").c_str(), 0), 0);
  const bool root = geteuid() == 0;  // reads it all the same
  const std::pair<std::string, std::string> unusable[] = {
      {"missing", "no settings file 'missing' in the settings folder"},
      {"passwd", "settings file 'passwd' cannot be opened (a symbolic link)"},
      {"sub", "settings 'sub' is not a plain file"},
      {"queries", "queries:2: not a setting that can be compared: TRACKING"},
      {"binary", "binary:2: NUL byte (not a text file)"},
      {"long", "long:2: line too long (at most 2045 bytes)"},
      {"empty", "settings file 'empty' names no setting (empty, or being written)"},
      {"comments", "settings file 'comments' names no setting (empty, or being written)"},
      {"partial", "settings file 'partial' does not end with a line feed (being written?)"},
      {"room", root ? "" : "settings file 'room' cannot be opened (Permission denied)"},
  };
  for (const auto& [name, why] : unusable) {
    if (why.empty()) continue;
    const http::Reply metrics =
        http::route(server, "GET", request("/probe", {{"target", here}, {"settings", name}}));
    EXPECT_EQ(metrics.code, 200u) << name;
    EXPECT_TRUE(has(metrics.body, "orvo_up 1")) << name;
    EXPECT_TRUE(has(metrics.body, "orvo_dsp_up 1")) << name;
    EXPECT_TRUE(has(metrics.body, "orvo_settings_file_usable 0")) << name << metrics.body;
    EXPECT_EQ(metrics.body.find("orvo_settings_differences"), std::string::npos) << name;
    // The hash and time of what was read, whatever it holds.
    const bool read = name != "missing" && name != "passwd" && name != "sub";
    EXPECT_EQ(metrics.body.find("\norvo_settings_file_modified_seconds ") != std::string::npos,
              read)
        << name;
    const http::Reply debug =
        http::route(server, "GET",
                    request("/probe", {{"target", here}, {"settings", name}, {"debug", "true"}}));
    EXPECT_EQ(debug.code, 200u);
    EXPECT_STREQ(debug.type, http::kTextType);
    EXPECT_NE(debug.body.find("\nsettings file " + name + ": unusable: " + why + "\n"),
              std::string::npos)
        << debug.body;
  }
  const http::Reply empty =
      http::route(server, "GET", request("/probe", {{"target", here}, {"settings", "empty"}}));
  EXPECT_TRUE(has(empty.body,
                  "orvo_settings_file_info{file=\"empty\",sha256=\"e3b0c44298fc1c149afbf4c8996fb924"
                  "27ae41e4649b934ca495991b7852b855\"} 1"))
      << empty.body;
  // A good one, with the debug transcript: the time-out and how it came
  // about, each query, the file, then the metrics.
  http::Request asked =
      request("/probe", {{"target", here}, {"settings", "good"}, {"debug", "true"}});
  asked.headers.push_back({"x-prometheus-scrape-timeout-seconds", "1.2", true});
  const http::Reply good = http::route(server, "GET", asked);
  EXPECT_EQ(good.code, 200u);
  EXPECT_EQ(good.body.rfind("probe of 127.0.0.1 port " + std::to_string(appliance.port()) +
                                ", time-out 0.700 s (--timeout 1.000 s, shortened to Prometheus' "
                                "scrape time-out 1.200 s less 0.5 s)\nVERSION: sent 1 time, ",
                            0),
            0u)
      << good.body;
  for (const std::string& line :
       {std::string("\nEQ 1: sent 1 time, "), std::string("ms: ACK EQ 1 5\n"),
        std::string("\nsettings file good: usable\n\nmetrics:\n"),
        std::string("\norvo_probe_timeout_seconds 0.700\n"),
        std::string("\norvo_settings_file_usable 1\n"),
        std::string("\norvo_settings_differences 2\n"),
        std::string("\norvo_setting_matches{setting=\"eq_band_1\"} 0\n"),
        std::string("\norvo_setting_matches{setting=\"eq_band_2\"} 1\n"),
        std::string("\norvo_setting_matches{setting=\"led_channel_16\"} 0\n")}) {
    EXPECT_NE(good.body.find(line), std::string::npos) << line << "\n" << good.body;
  }
  EXPECT_EQ(good.body.find("setting=\"tracking\""), std::string::npos) << good.body;

  // The scrape's time-out, less half a second, when it is the shorter.
  std::string why;
  const std::string seconds[] = {"2", "0.3", "10", "1s", "", "0.0001"};
  const int expected[] = {1500, 100, 5000, 5000, 5000, 5000};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(exporter::probe_timeout_ms(5000, &seconds[i], &why), expected[i]) << seconds[i];
  }
  EXPECT_EQ(why, "--timeout 5.000 s; X-Prometheus-Scrape-Timeout-Seconds '0.0001' is not a number "
                 "of seconds: not taken");
  EXPECT_EQ(exporter::probe_timeout_ms(5000, nullptr, &why), 5000);

  // The landing page (no script: nothing but links and a form), and health.
  const http::Reply page = http::route(server, "GET", request("/"));
  EXPECT_EQ(page.code, 200u);
  EXPECT_STREQ(page.type, "text/html; charset=utf-8");
  EXPECT_NE(page.body.find("<form action=\"/probe\" method=\"get\">"), std::string::npos);
  EXPECT_NE(page.body.find("name=\"target\""), std::string::npos);
  EXPECT_EQ(page.body.find("<script"), std::string::npos);
  ASSERT_FALSE(page.headers.empty());
  EXPECT_EQ(page.headers[0], std::make_pair(std::string("Content-Security-Policy"),
                                            std::string("default-src 'none'; form-action 'self'")));
  const http::Reply healthy = http::route(server, "HEAD", request("/-/healthy"));
  EXPECT_EQ(healthy.code, 200u);
  EXPECT_EQ(healthy.body, "OK\n");
  // The exporter's own: its build and process beside its counts.
  const http::Reply own = http::route(server, "GET", request("/metrics"));
  EXPECT_TRUE(has(own.body, std::string("orvo_exporter_build_info{version=\"") + ORVO_VERSION +
                                "\",revision=\"" + ORVO_REVISION + "\"} 1"))
      << own.body;
  EXPECT_NE(std::string(ORVO_REVISION), "");
  for (const char* name : {"process_resident_memory_bytes ", "process_cpu_seconds_total ",
                           "process_open_fds ", "process_start_time_seconds "}) {
    const size_t at = own.body.find(std::string("\n") + name);
    ASSERT_NE(at, std::string::npos) << name << own.body;
    EXPECT_GT(std::stod(own.body.substr(at + strlen(name) + 1)), 0) << name;
  }

  exporter::Options closed = options;
  closed.targets.clear();
  state.options = &closed;
  const http::Reply none = http::route(server, "GET", request("/probe", {{"target", here}}));
  EXPECT_EQ(none.code, 403u);
  EXPECT_EQ(none.body, "no --targets given: nothing may be probed\n");
}

TEST(Find, FindsAFakeApplianceAtItsPortInARangeAndSaysWhenItCouldNotSearchItWhole) {
  const FakeAppliance appliance(
      std::map<std::string, std::string>{{"VERSION", "ACK VERSION 3.0\tbeta"}});
  // 127.0.0.1 and .2: not the network's address nor its broadcast address.
  FindTarget target{};
  ASSERT_TRUE(range_parse("127.0.0.0/30", kFindSmallestPrefix, &target.range));
  Found found;
  ASSERT_EQ(appliances_find(&target, 1, Timing{100, 0, 200}, appliance.port(), &found), 0);
  EXPECT_EQ(target.send_error, 0);
  // Asked again halfway through the window, as a single address is: listed once.
  EXPECT_EQ(appliance.received(), 2);
  ASSERT_EQ(found.count, 1);
  EXPECT_EQ(found.list[0].address, INADDR_LOOPBACK);
  EXPECT_STREQ(found.list[0].version, "3.0 beta");
  appliances_free(&found);

  // No time to send to a /16 (the time is looked at every 256 addresses):
  // each round reaches the first 255 addresses only, and the range is not
  // searched whole.
  FindTarget large{};
  ASSERT_TRUE(range_parse("127.0.0.0/16", kFindSmallestPrefix, &large.range));
  ASSERT_EQ(appliances_find(&large, 1, Timing{100, 0, 1}, appliance.port(), &found), 0);
  EXPECT_EQ(large.send_error, ETIMEDOUT);
  EXPECT_EQ(appliance.received(), 4);
  appliances_free(&found);
}

// Everything but the dot entries of a folder, by name.
std::vector<std::string> folder_names(const std::string& path) {
  std::vector<std::string> names;
  DIR* folder = opendir(path.c_str());
  for (const dirent* entry; folder != nullptr && (entry = readdir(folder)) != nullptr;) {
    if (entry->d_name[0] != '.' || (entry->d_name[1] != '\0' && entry->d_name[1] != '.')) {
      names.push_back(entry->d_name);
    }
  }
  if (folder != nullptr) closedir(folder);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(SiteFile, ReadsUsableLinesSaysWhyOfTheOthersAndIsReplacedWhole) {
  const Folder folder;
  std::vector<site::Room> rooms;
  EXPECT_TRUE(site::site_read(folder.path(), &rooms).empty());  // no file: no rooms
  EXPECT_TRUE(rooms.empty());
  folder.write("site.conf", "# the site\n"
                            "192.0.2.10\thall   # by the door\n"
                            "\n"
                            "192.0.2.0/24 floor-1\r\n"
                            "192.0.2.0/8 too_wide\n"
                            "192.0.2.300 hall\n"
                            "192.0.2.11 two words\n"
                            "192.0.2.12 hall.orvo\n"
                            "192.0.2.13\n" +
                                std::string("192.0.2.14 a\0b\n", 15) + "198.51.100.0/31 " +
                                std::string(65, 'x') + "\n198.51.100.0/31 " + std::string(64, 'x') +
                                "\n");
  const std::vector<std::string> problems = site::site_read(folder.path(), &rooms);
  EXPECT_EQ(problems, (std::vector<std::string>{
                          "site.conf:6: not an address or network (A.B.C.D or A.B.C.D/BITS): "
                          "'192.0.2.300'",
                          "site.conf:7: not a network and a room name: '192.0.2.11 two words'",
                          "site.conf:8: not a room name (1 to 64 of A-Z a-z 0-9 _ -): 'hall.orvo'",
                          "site.conf:9: not a network and a room name: '192.0.2.13'",
                          "site.conf:10: a NUL byte",
                          "site.conf:11: not a room name (1 to 64 of A-Z a-z 0-9 _ -): '" +
                              std::string(64, 'x') + "...'",
                      }));
  ASSERT_EQ(rooms.size(), 4u);
  // The first line that holds an address gives its room.
  EXPECT_EQ(site::site_room(rooms, 0xC000020A)->name, "hall");
  EXPECT_EQ(site::site_room(rooms, 0xC000020B)->name, "floor-1");
  EXPECT_EQ(site::site_room(rooms, 0xC0000301)->name, "too_wide");
  EXPECT_EQ(site::site_room(rooms, 0xC6336401)->name, std::string(64, 'x'));
  EXPECT_EQ(site::site_room(rooms, 0x0A000001), nullptr);
  for (const char* name : {"", ".", "..", "a/b", "a b", "hall.orvo", "-x\n"}) {
    EXPECT_FALSE(site::room_name_valid(name)) << name;
  }
  EXPECT_TRUE(site::room_name_valid("Room_2-b"));

  // Written whole, read back the same; no temporary file left; mode 0644.
  EXPECT_EQ(site::site_write(folder.path(), rooms), "");
  std::vector<site::Room> again;
  EXPECT_TRUE(site::site_read(folder.path(), &again).empty());
  ASSERT_EQ(again.size(), rooms.size());
  for (size_t i = 0; i < rooms.size(); ++i) {
    EXPECT_EQ(site::net_text(again[i].net), site::net_text(rooms[i].net));
    EXPECT_EQ(again[i].name, rooms[i].name);
  }
  EXPECT_EQ(site::net_text(rooms[0].net), "192.0.2.10");
  EXPECT_EQ(site::net_text(rooms[2].net), "192.0.0.0/8");
  EXPECT_EQ(folder_names(folder.path()), std::vector<std::string>{"site.conf"});
  struct stat status;
  ASSERT_EQ(stat((folder.path() + "/site.conf").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0644u);
  // What cannot be written leaves the file as it was.
  EXPECT_NE(site::site_write(folder.path(), {{{1, 3}, "odd"}}), "");
  EXPECT_NE(site::site_write(folder.path(), {{{1, 1}, "a.b"}}), "");
  EXPECT_NE(site::site_write(folder.path() + "/missing", rooms), "");
  EXPECT_TRUE(site::site_read(folder.path(), &again).empty());
  EXPECT_EQ(again.size(), rooms.size());
  EXPECT_EQ(folder_names(folder.path()), std::vector<std::string>{"site.conf"});

  // A room given to one address (as the panel saves one) keeps the rest of
  // the file as the operator wrote it: comments, blank and unusable lines.
  const auto text = [&folder] {
    std::ifstream file(folder.path() + "/site.conf");
    return std::string(std::istreambuf_iterator<char>(file), {});
  };
  folder.write("site.conf", "# the site\n\n192.0.2.300 hall\n192.0.2.0/24 floor-1 # all\n");
  EXPECT_EQ(site::site_assign(folder.path(), 0xC000020B, "hall"), "");
  EXPECT_EQ(site::site_assign(folder.path(), 0xC6336401, "lab"), "");
  EXPECT_EQ(text(), "# the site\n\n192.0.2.300 hall\n192.0.2.11 hall\n192.0.2.0/24 floor-1 # all\n"
                    "198.51.100.1 lab\n");
  EXPECT_EQ(site::site_assign(folder.path(), 0xC000020B, "studio"), "");
  EXPECT_EQ(site::site_assign(folder.path(), 0xC000020B, "no.room"), "not a room name: 'no.room'");
  EXPECT_EQ(text(),
            "# the site\n\n192.0.2.300 hall\n192.0.2.11 studio\n192.0.2.0/24 floor-1 # all\n"
            "198.51.100.1 lab\n");
}

// /discover against a fake appliance: the roster keeps it across a missed
// answer and a restart, the rooms label it, a search cut short answers 503,
// and with basic authentication nothing is answered without a user.
TEST(Discovery, RosterKeepsAppliancesRoomsLabelThemAndAShortSearchIs503) {
  const Folder state, settings;
  settings.write("site.conf", "127.0.0.1 hall\n127.0.0.0/24 lab\nbad line here\n");
  settings.write("hall", "EQ 1 -3\n");  // lab has no file
  auto appliance = std::make_unique<FakeAppliance>(
      std::map<std::string, std::string>{{"VERSION", "ACK VERSION 2.0 \xff\"x\""}});
  exporter::Options options;
  options.targets = {{0x7F000000, 0x7F00FFFF}};
  options.settings_dir = settings.path();
  options.state_dir = state.path();
  options.timeout_ms = 200;
  options.appliance_port = appliance->port();
  const auto discover = [&](exporter::Exporter* state_now, const std::string& range) {
    return exporter::discover(state_now, request("/discover", {{"range", range}}));
  };
  const std::string label_tail = "\"room\": \"hall\", \"__param_settings\": \"hall\"}}\n]\n";
  long long first_seen = 0;
  {
    exporter::Exporter exporter;
    exporter.options = &options;
    ASSERT_EQ(exporter::prepare(&exporter), "");
    const long long before = time(nullptr);
    const http::Reply found = discover(&exporter, "127.0.0.1");
    ASSERT_EQ(found.code, 200u) << found.body;
    EXPECT_STREQ(found.type, http::kJsonType);
    // The version's byte that is no UTF-8 replaced; both times the same at first.
    std::smatch times;
    ASSERT_TRUE(std::regex_search(
        found.body, times,
        std::regex("^\\[\n  \\{\"targets\": \\[\"127\\.0\\.0\\.1\"\\], \"labels\": "
                   "\\{\"__meta_orvo_version\": \"2\\.0 \xef\xbf\xbd\\\\\"x\\\\\"\", "
                   "\"__meta_orvo_first_seen\": \"([0-9]+)\", \"__meta_orvo_last_seen\": "
                   "\"([0-9]+)\", ")))
        << found.body;
    first_seen = std::stoll(times[1]);
    EXPECT_GE(first_seen, before);
    EXPECT_EQ(times[1], times[2]);
    EXPECT_EQ(found.body.substr(found.body.size() - label_tail.size()), label_tail);
    EXPECT_EQ(appliance->received(), 2);  // asked again halfway through
    const http::Reply own = exporter::own_metrics(exporter);
    EXPECT_NE(own.body.find("\norvo_exporter_roster_appliances 1\n"), std::string::npos);
    EXPECT_NE(own.body.find("\norvo_exporter_site_file_usable 0\n"), std::string::npos);
  }
  // The roster's file: one line for it, kept whole.
  std::ifstream in(state.path() + "/roster");
  std::stringstream roster;
  roster << in.rdbuf();
  EXPECT_NE(roster.str().find("\n127.0.0.1 " + std::to_string(first_seen) + " "), std::string::npos)
      << roster.str();
  EXPECT_EQ(folder_names(state.path()), std::vector<std::string>{"roster"});

  // Restarted, the appliance silent: still listed, from the file; a room
  // file made meanwhile is picked up without a reload.
  appliance.reset();
  settings.write("lab", "EQ 1 0\n");
  settings.write("site.conf", "127.0.0.0/24 lab\n");
  exporter::Exporter exporter;
  exporter.options = &options;
  ASSERT_EQ(exporter::prepare(&exporter), "");
  const http::Reply kept = discover(&exporter, "127.0.0.0/24");
  ASSERT_EQ(kept.code, 200u) << kept.body;
  EXPECT_NE(kept.body.find("\"__meta_orvo_first_seen\": \"" + std::to_string(first_seen) + "\""),
            std::string::npos)
      << kept.body;
  EXPECT_NE(kept.body.find("\"room\": \"lab\", \"__param_settings\": \"lab\"}}"), std::string::npos)
      << kept.body;
  EXPECT_NE(exporter::own_metrics(exporter).body.find("\norvo_exporter_site_file_usable 1\n"),
            std::string::npos);

  // Its line deleted by the operator: forgotten at the next discovery.
  std::ofstream(state.path() + "/roster") << "# emptied by hand\n";
  EXPECT_EQ(discover(&exporter, "127.0.0.0/24").body, "[]\n");

  // No time to send to a whole /16: 503, and the roster as it was.
  options.timeout_ms = 1;
  const http::Reply short_search = discover(&exporter, "127.0.0.0/16");
  EXPECT_EQ(short_search.code, 503u);
  EXPECT_EQ(short_search.body,
            "range 127.0.0.0/16 could not be searched whole (Connection timed out): the targets "
            "stay as they were\n");
  options.timeout_ms = 200;

  // Forgotten after the time given, without a word from the operator.
  const FakeAppliance back(std::map<std::string, std::string>{{"VERSION", "ACK VERSION 3"}});
  options.appliance_port = back.port();
  options.forget_after_s = 0;
  exporter::Exporter forgetful;
  forgetful.options = &options;
  ASSERT_EQ(exporter::prepare(&forgetful), "");
  EXPECT_NE(discover(&forgetful, "127.0.0.1").body, "[]\n");
  sleep(1);
  options.appliance_port = 1;  // nobody: refused by the system at once
  EXPECT_EQ(discover(&forgetful, "127.0.0.1").body, "[]\n");
}

TEST(Access, BasicAuthenticationWithCryptHashes) {
  const Folder folder;
  crypt_data data{};
  const std::string hash = crypt_r("s3cret", "$6$orvotest$", &data);
  ASSERT_EQ(hash.rfind("$6$orvotest$", 0), 0u);
  folder.write("users", "# who may scrape\nprometheus:" + hash + "\nlocked:*\n");
  exporter::Options options;
  options.basic_auth_file = folder.path() + "/users";
  exporter::Exporter state;
  state.options = &options;
  // A line that is no user:hash stops the start.
  EXPECT_EQ(exporter::prepare(&state), folder.path() + "/users:3: not user:crypt-hash");
  folder.write("users", "prometheus:" + hash + "\n");
  ASSERT_EQ(exporter::prepare(&state), "");
  const http::ServerOptions server = exporter::server_options(&state);
  http::Request asked = request("/metrics");
  const http::Reply refused = http::route(server, "GET", asked);
  EXPECT_EQ(refused.code, 401u);
  ASSERT_EQ(refused.headers.size(), 1u);
  EXPECT_EQ(refused.headers[0].first, "WWW-Authenticate");
  EXPECT_EQ(refused.headers[0].second, "Basic realm=\"orvo-exporter\"");
  asked.credentials = true;
  asked.user = "prometheus";
  for (const char* wrong : {"", "s3cre", "s3cret ", "S3cret"}) {
    asked.password = wrong;
    EXPECT_EQ(http::route(server, "GET", asked).code, 401u) << wrong;
  }
  asked.password = "s3cret";
  EXPECT_EQ(http::route(server, "GET", asked).code, 200u);
  EXPECT_EQ(http::route(server, "GET", asked).code, 200u);  // from memory this time
  asked.user = "other";
  EXPECT_EQ(http::route(server, "GET", asked).code, 401u);
}

}  // namespace
