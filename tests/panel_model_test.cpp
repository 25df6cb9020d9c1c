// The panel's model of a site, in-process, on a virtual site of real
// daemons: discovery, the poller watching one appliance, a change by another
// tool seen, busy during a microphone test (never silent), lines refused
// before anything is sent, and rooms saved, compared and applied.

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "panel/lines.h"
#include "panel/poller.h"
#include "panel/rooms.h"
#include "panel/site_model.h"
#include "protocol/dsp_mailbox.h"
#include "sim/site.h"

using namespace std::chrono_literals;

namespace {

std::string file_text(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// Waits (at most limit) until the model shows what ready looks for.
template <typename Ready>
bool eventually(panel::SiteModel& model, Ready ready, std::chrono::seconds limit = 20s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  std::uint64_t seen = model.changes();
  while (!ready()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    seen = model.wait_for_change(seen, 500ms);
  }
  return true;
}

class PanelModel : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    site = sim::Site::create(3, &error);
    ASSERT_TRUE(site) << "cannot make the site: " << error;
    ASSERT_TRUE(site->start_all(&error)) << error;
    // This thread (and the poller it starts) in the client's network.
    home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(home, 0);
    ASSERT_EQ(setns(site->client_host().network_namespace(), CLONE_NEWNET), 0);
    char folder[] = "/tmp/orvo-panel-model.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    state = folder;
  }
  void TearDown() override {
    if (home >= 0) {
      setns(home, CLONE_NEWNET);
      close(home);
    }
    if (!state.empty()) std::filesystem::remove_all(state);
  }

  std::string ask(int appliance, const std::string& request) const {
    return site->appliance(appliance).request(request + "\r").value_or("<no reply>");
  }
  std::string snapshot(int appliance) const {
    return site->client({"-s", sim::Site::address(appliance)}, 30s).out;
  }

  std::unique_ptr<sim::Site> site;
  int home = -1;
  std::string state;
};

TEST_F(PanelModel, WatchesSendsAndCopiesRooms) {
  const std::string a0 = sim::Site::address(0), a1 = sim::Site::address(1),
                    a2 = sim::Site::address(2);
  std::uint32_t ip0, ip2, silent_ip;
  ASSERT_TRUE(panel::address_parse(a0, &ip0) && panel::address_parse(a2, &ip2) &&
              panel::address_parse("192.0.2.99", &silent_ip));
  panel::ModelOptions options;
  AddressRange targets;
  ASSERT_TRUE(range_parse("192.0.2.0/24", 0, &targets));
  options.targets = {targets};
  options.state_dir = state;
  options.identify_ms = 2000;
  panel::SiteModel model(options);
  panel::Poller poller(model);
  panel::Refusal refusal;

  // Discovery: only within the targets, and all three found.
  EXPECT_NE(model.discover("198.51.100.0/24", &refusal), "");
  EXPECT_EQ(refusal, panel::Refusal::kForbidden);
  EXPECT_NE(model.discover("192.0.2.0/33", &refusal), "");
  EXPECT_EQ(refusal, panel::Refusal::kBadRequest);
  ASSERT_EQ(model.discover("", &refusal), "");
  ASSERT_EQ(model.appliances().size(), 3u) << model.site_json();
  EXPECT_NE(model.site_json().find("{\"address\":\"" + a1 +
                                   "\",\"room\":null,\"version\":\"1.0.0-sim\","
                                   "\"state\":\"up\""),
            std::string::npos)
      << model.site_json();
  // One added by address that does not answer: silent, not up.
  EXPECT_NE(model.add("10.0.0.1", &refusal), "");
  EXPECT_EQ(refusal, panel::Refusal::kForbidden);
  ASSERT_EQ(model.add("192.0.2.99", &refusal), "");
  EXPECT_EQ(model.appliance(silent_ip)->state, panel::ApplianceState::kSilent);

  // Watched: its settings are read, and a change by another tool shows.
  const auto watch = model.watch(ip0);
  ASSERT_TRUE(eventually(model, [&] { return model.appliance(ip0)->settings.has_value(); }));
  EXPECT_EQ(model.appliance(ip0)->settings->eq[1], 0);
  const sim::RunResult other = site->client({a0, "EQ", "1", "-3"}, 10s);
  ASSERT_EQ(other.out, "ACK EQ 1 -3\n") << other.err;
  EXPECT_TRUE(eventually(model, [&] { return model.appliance(ip0)->settings->eq[1] == -3; }));
  // Read again and again, but nothing changed: the counter stays.
  const std::uint64_t settled = model.changes();
  EXPECT_EQ(model.wait_for_change(settled, 2500ms), settled)
      << model.appliance_json(a0, &refusal).value_or("");

  // Lines the table refuses: nothing is sent (the DSP is not asked).
  for (const char* line : {"",
                           "FOO",
                           "eq 1 -3",
                           "EQ 1 -21",
                           "EQ 3 0",
                           "EQ 1 -3 ",
                           " EQ 1 -3",
                           "EQ  1 -3",
                           "EQ 1 +3",
                           "EQ 1 3x",
                           "TRACKING\t0",
                           "TRACKING 2",
                           "APT 4",
                           "ID 2",
                           "NULL 3 16",
                           "NULL 3 0",
                           "NULL 1 2 3",
                           "NULLMASK 7",
                           "NULLMASK 200",
                           "SRGB 1 256 0 0",
                           "SRGB 17 0 0 0",
                           "STS 1 X=1",
                           "STS 1 R=2",
                           "STSB 1 R=55",
                           "STSB 1 R=110",
                           "GTS",
                           "ACTNULCOL 1 2 3",
                           "MICTEST 1",
                           "VERSION\xC3\xA9",
                           "EQ 1 0000000003",
                           "SRGB 0 1 1 1 1",
                           "STS 8 B=01",
                           "ID 01",
                           "EQ 1 -0",
                           "EQ 1 03"}) {
    EXPECT_NE(panel::line_check(line), "") << line;
  }
  for (const char* line :
       {"EQ 1 -20",   "EQ 0 6",       "EQ 2",         "TRACKING",
        "TRACKING 0", "APT 3",        "ID 1",         "NULL",
        "NULL 0",     "NULL 3 7",     "NULLMASK 136", "SRGB 0 255 0 7",
        "STS 16 B=0", "STSB 4 G=100", "GRGB 0",       "ACTNULCOL 0 0 255 255 0 0",
        "MICTEST",    "DEFAULTS",     "VERSION",      "DSPSTATUS"}) {
    EXPECT_EQ(panel::line_check(line), "") << line;
  }
  const size_t asked = dsp_standin_requests(site->dsp(0)).size();
  std::string why;
  EXPECT_FALSE(model.send_line(a0, "EQ 2 5 ", &refusal, &why));
  EXPECT_EQ(refusal, panel::Refusal::kBadRequest);
  EXPECT_NE(why, "");
  EXPECT_FALSE(model.send_line("198.51.100.7", "EQ 2 5", &refusal, &why));
  EXPECT_EQ(refusal, panel::Refusal::kForbidden);
  EXPECT_EQ(dsp_standin_requests(site->dsp(0)).size(), asked);
  EXPECT_EQ(ask(0, "EQ 2"), "ACK EQ 2 0\r");

  // A line to an address where nothing answers.
  std::optional<panel::SendResult> sent = model.send_line("192.0.2.98", "TRACKING", &refusal, &why);
  ASSERT_TRUE(sent) << why;
  EXPECT_EQ(panel::send_json(*sent),
            "{\"line\":\"TRACKING\",\"reply\":null,\"outcome\":\"silent\"}");
  EXPECT_EQ(model.appliance(silent_ip - 1)->state, panel::ApplianceState::kSilent);

  // A line sent: acknowledged, and the model shows it.
  sent = model.send_line(a0, "EQ 1 -5", &refusal, &why);
  ASSERT_TRUE(sent) << why;
  EXPECT_EQ(panel::send_json(*sent),
            "{\"line\":\"EQ 1 -5\",\"reply\":\"ACK EQ 1 -5\",\"outcome\":\"done\"}");
  EXPECT_TRUE(eventually(model, [&] { return model.appliance(ip0)->settings->eq[1] == -5; }));
  // A refusal: the appliance is read again before the reply (its EQ band
  // cannot be read either now, so its settings are unknown).
  dsp_standin_set_fault(site->dsp(0), DSP_EQ_BAND2, DspFault::error_code, 5);
  sent = model.send_line(a0, "EQ 2 -4", &refusal, &why);
  ASSERT_TRUE(sent) << why;
  EXPECT_EQ(panel::send_json(*sent),
            "{\"line\":\"EQ 2 -4\",\"reply\":\"NACK EQ 2 -4\",\"outcome\":\"refused\"}");
  EXPECT_FALSE(model.appliance(ip0)->settings.has_value());
  EXPECT_EQ(model.appliance(ip0)->state, panel::ApplianceState::kUp);
  dsp_standin_set_fault(site->dsp(0), DSP_EQ_BAND2, DspFault::none);
  ASSERT_TRUE(eventually(model, [&] { return model.appliance(ip0)->settings.has_value(); }));

  // Identify is tracked (ID cannot be read back): stopped by ID 0, or
  // ended by the panel when its time is up.
  ASSERT_TRUE(model.send_line(a0, "ID 1", &refusal, &why));
  EXPECT_TRUE(model.appliance(ip0)->identify);
  EXPECT_NE(model.appliance_json(a0, &refusal)->find("\"identify\":true"), std::string::npos);
  ASSERT_TRUE(model.send_line(a0, "ID 0", &refusal, &why));
  EXPECT_FALSE(model.appliance(ip0)->identify);
  ASSERT_TRUE(model.send_line(a0, "ID 1", &refusal, &why));
  EXPECT_TRUE(eventually(model, [&] { return !model.appliance(ip0)->identify; }));

  // The microphone test blocks the daemon for 11 s: busy all along, never
  // silent, and up again afterwards.
  std::optional<panel::SendResult> test;
  std::atomic<bool> tested{false};
  std::thread mictest([&] {
    panel::Refusal r;
    std::string w;
    test = model.send_line(a0, "MICTEST", &r, &w);
    tested = true;
  });
  EXPECT_TRUE(eventually(model, [&] { return model.appliance(ip0)->busy.has_value(); }));
  EXPECT_NE(model.appliance_json(a0, &refusal)->find("\"state\":\"busy\""), std::string::npos);
  bool silent = false;
  for (std::uint64_t seen = model.changes(); !tested && model.appliance(ip0)->busy;) {
    silent = silent || model.appliance(ip0)->state == panel::ApplianceState::kSilent;
    seen = model.wait_for_change(seen, 300ms);
  }
  mictest.join();
  EXPECT_FALSE(silent);
  ASSERT_TRUE(test);
  EXPECT_EQ(test->outcome, panel::Outcome::kDone) << panel::send_json(*test);
  EXPECT_EQ(test->reply, "ACK MICTEST 0");
  EXPECT_EQ(model.appliance(ip0)->state, panel::ApplianceState::kUp);

  // Rooms: a bad name refused; saved as orvo-udpc -s prints it, mode 0644,
  // and the appliance put in the room by site.conf.
  EXPECT_NE(panel::room_save(model, a0, "../hall", &refusal), "");
  EXPECT_EQ(refusal, panel::Refusal::kBadRequest);
  ASSERT_EQ(ask(0, "TRACKING 0"), "ACK TRACKING 0\r");
  ASSERT_EQ(ask(0, "NULL 3 7"), "ACK NULL 3 7\r");
  ASSERT_EQ(ask(0, "STS 5 G=0"), "ACK STS 5 G=0\r");
  // The ring as the pages draw it: nulled channels, a component switched off.
  EXPECT_TRUE(eventually(model, [&] {
    const std::string json = model.appliance_json(a0, &refusal).value_or("");
    return json.find("\"nulled\":[3,7]") != std::string::npos &&
           json.find("{\"channel\":5,\"rgb\":[") != std::string::npos &&
           json.find("],\"on\":[true,false,true],\"percent\":[") != std::string::npos;
  })) << model.appliance_json(a0, &refusal).value_or("");
  ASSERT_EQ(panel::room_save(model, a0, "hall", &refusal), "");
  const std::string saved = file_text(state + "/hall");
  EXPECT_EQ(saved, snapshot(0));
  struct stat status;
  ASSERT_EQ(stat((state + "/hall").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0644u);
  EXPECT_NE(file_text(state + "/site.conf").find("\n" + a0 + " hall\n"), std::string::npos);
  std::string text;
  ASSERT_EQ(panel::snapshot_text(model, a0, &text, &refusal), "");
  EXPECT_EQ(text, saved);
  EXPECT_TRUE(eventually(model, [&] {
    const auto view = model.appliance(ip0);
    return view->room == "hall" && view->differences && view->differences->empty();
  }));
  EXPECT_NE(model.site_json().find("\"rooms\":[\"hall\"]"), std::string::npos);

  // Differences named; the room applied to the other two, which then read alike.
  std::vector<std::string> names;
  ASSERT_EQ(panel::room_differences(model, a1, "hall", &names, &refusal), "");
  EXPECT_EQ(names, (std::vector<std::string>{"tracking", "eq_band_1", "null_channels",
                                             "led_channel_3", "led_channel_5", "led_channel_7"}));
  std::vector<panel::ApplyResult> results;
  ASSERT_EQ(panel::room_apply(model, "hall", {a1, a2}, &results, &refusal), "");
  EXPECT_EQ(panel::apply_json(results), "{\"results\":[{\"address\":\"" + a1 +
                                            "\",\"outcome\":\"done\",\"line\":0},{\"address\":\"" +
                                            a2 + "\",\"outcome\":\"done\",\"line\":0}]}");
  const auto body = [](const std::string& form) { return form.substr(form.find('\n')); };
  EXPECT_EQ(body(snapshot(1)), body(saved));
  EXPECT_EQ(body(snapshot(2)), body(saved));
  ASSERT_EQ(panel::room_differences(model, a2, "hall", &names, &refusal), "");
  EXPECT_TRUE(names.empty());

  // Drift in the site list: the whole network in the room, one appliance
  // changed by another tool.
  std::ofstream(state + "/site.conf", std::ios::app) << "192.0.2.0/24 hall # the rest\n";
  model.rooms_changed();
  ASSERT_EQ(ask(2, "APT 2"), "ACK APT 2\r");
  const auto watch2 = model.watch(ip2);
  EXPECT_TRUE(eventually(model, [&] {
    const auto view = model.appliance(ip2);
    return view->room == "hall" && view->differences &&
           *view->differences == std::vector<std::string>{"apt_mode"};
  }));
  EXPECT_NE(model.site_json().find("\"drift\":1,\"differences\":[\"apt_mode\"]"), std::string::npos)
      << model.site_json();
}

}  // namespace
