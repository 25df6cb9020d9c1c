// Many appliances on a virtual site: the client finds them, reads one's
// settings as a file of commands and sends files to many at once.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "protocol/platform.h"
#include "protocol/protocol.h"
#include "sim/process.h"
#include "sim/site.h"

using namespace std::chrono_literals;
using namespace std::string_literals;

namespace {

// Every query of a setting, including both names of the noise setting.
const char* const kQueries[] = {"TRACKING", "NOISESUP", "NOISERED", "APT",      "EQ 0",
                                "EQ 1",     "EQ 2",     "NULL",     "NULLMASK", "ACTNULCOL",
                                "GTS 0",    "GTSB 0",   "GRGB 0"};

// A file the client reads, removed at the end of the test.
class TextFile {
 public:
  explicit TextFile(const std::string& text) {
    const char* folder = getenv("TMPDIR");
    path_ =
        std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") + "/orvo-fleet.XXXXXX";
    const int fd = mkstemp(path_.data());
    close(fd);
    std::ofstream(path_) << text;
  }
  ~TextFile() { unlink(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Stands between the client and one appliance, at an address of its own on
// the client's host, and drops every other datagram of one direction.
class Relay {
 public:
  Relay(const sim::Site& site, const std::string& address, int appliance, bool drop_requests)
      : drop_requests_(drop_requests) {
    to_appliance_.sin_family = AF_INET;
    to_appliance_.sin_port = htons(orvo::kControlPort);
    inet_pton(AF_INET, sim::Site::address(appliance).c_str(), &to_appliance_.sin_addr);
    sockaddr_in own{};
    own.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &own.sin_addr);
    front_ = site.client_host().open_udp();
    back_ = site.client_host().open_udp();
    own.sin_port = htons(orvo::kControlPort);
    bool bound = bind(front_, reinterpret_cast<sockaddr*>(&own), sizeof own) == 0;
    own.sin_port = 0;
    bound = bind(back_, reinterpret_cast<sockaddr*>(&own), sizeof own) == 0 && bound;
    if (bound) thread_ = std::thread([this] { run(); });
  }
  ~Relay() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    close(front_);
    close(back_);
  }
  bool running() const { return thread_.joinable(); }
  int dropped() const { return dropped_; }

 private:
  void run() {
    sockaddr_in client{};
    int requests = 0, replies = 0;
    char datagram[4096];
    while (!stopping_) {
      pollfd fds[2] = {{front_, POLLIN, 0}, {back_, POLLIN, 0}};
      if (poll(fds, 2, 20) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        socklen_t length = sizeof client;
        const ssize_t got = recvfrom(front_, datagram, sizeof datagram, 0,
                                     reinterpret_cast<sockaddr*>(&client), &length);
        if (got >= 0 && drop_requests_ && ++requests % 2 == 0) {
          ++dropped_;
        } else if (got >= 0) {
          sendto(back_, datagram, static_cast<size_t>(got), 0,
                 reinterpret_cast<sockaddr*>(&to_appliance_), sizeof to_appliance_);
        }
      }
      if (fds[1].revents & POLLIN) {
        const ssize_t got = recv(back_, datagram, sizeof datagram, 0);
        if (got >= 0 && !drop_requests_ && ++replies % 2 == 0) {
          ++dropped_;
        } else if (got >= 0) {
          sendto(front_, datagram, static_cast<size_t>(got), 0,
                 reinterpret_cast<sockaddr*>(&client), sizeof client);
        }
      }
    }
  }

  const bool drop_requests_;
  sockaddr_in to_appliance_{};
  int front_ = -1;
  int back_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<int> dropped_{0};
  std::thread thread_;
};

class Fleet : public ::testing::Test {
 protected:
  // A site of count appliances, each daemon started.
  void make(int count) {
    std::string error;
    site = sim::Site::create(count, &error);
    // Never skip: a test that cannot get its site has failed.
    ASSERT_TRUE(site) << "cannot make the site: " << error;
    ASSERT_TRUE(site->start_all(&error)) << error;
  }

  std::string ask(int appliance, const std::string& request) const {
    return site->appliance(appliance).request(request + "\r").value_or("<no reply>");
  }

  // The answers of an appliance to every query of a setting.
  std::string settings(int appliance) const {
    std::string all;
    for (const char* query : kQueries) all += ask(appliance, query) + "\n";
    return all;
  }

  sim::RunResult client(const std::vector<std::string>& args,
                        std::chrono::milliseconds timeout = 60s) const {
    return site->client(args, timeout);
  }

  std::unique_ptr<sim::Site> site;
};

TEST_F(Fleet, FindListsTheAppliancesThatAnswerSortedByAddress) {
  make(4);
  for (int i = 0; i < 4; ++i) {
    site->appliance(i).write_file(kVersionPath, "2.0." + std::to_string(i) + " sim\n");
  }
  ASSERT_TRUE(site->appliance(2).kill_daemon());
  const std::string present = sim::Site::address(0) + " 2.0.0 sim\n" + sim::Site::address(1) +
                              " 2.0.1 sim\n" + sim::Site::address(3) + " 2.0.3 sim\n";

  // 255.255.255.255 by default; or a range, alone or beside a broadcast address.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-f"},
        {"-f", "-w", "2", sim::Site::subnet()},
        {"-f", sim::Site::address(3), "192.0.2.255", "192.0.2.8/29"}}) {
    const sim::RunResult run = client(args);
    EXPECT_EQ(run.out, present) << run.err;
    EXPECT_EQ(run.status, 0);
  }
  // None in the range: nothing printed, a failure.
  const sim::RunResult none = client({"-f", "-w", "0.3", "192.0.2.128/26"});
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(client({"-f", "192.0.2.0/8"}).status, 2);

  // A range the client's host has no route to half of: what answered is
  // printed, the range is named, and the list may be short: a failure.
  sim::SpawnOptions in_client_network;
  in_client_network.net_ns = site->client_host().network_namespace();
  const sim::RunResult route = sim::run(
      {"/bin/sh", "-c", "exec ip route add unreachable 192.0.3.0/24"}, 10s, in_client_network);
  ASSERT_EQ(route.status, 0) << route.err;
  const sim::RunResult partial = client({"-f", "192.0.2.0/23"});
  EXPECT_EQ(partial.out, present);
  EXPECT_EQ(partial.err.rfind("192.0.2.0/23 not searched whole (", 0), 0u) << partial.err;
  EXPECT_EQ(partial.status, 1);
}

TEST_F(Fleet, SnapshotAppliedToOthersGivesThemTheSameSettings) {
  make(3);
  // Every kind of setting, with components switched off at odd levels and
  // channel 16 (which has no LED) set apart.
  for (const char* request :
       {"TRACKING 0", "NOISERED 0", "APT 3", "EQ 0 -20", "EQ 2 6", "ACTNULCOL 10 20 30 200 100 0",
        "NULL 3 7", "SRGB 5 1 2 3", "STS 5 G=0", "STSB 5 G=70", "STS 9 R=0", "STSB 12 B=100",
        "SRGB 16 9 8 7", "STS 16 B=0"}) {
    ASSERT_EQ(ask(0, request).rfind("ACK ", 0), 0u) << request;
  }
  // The third appliance set otherwise, the second reset.
  for (const char* request :
       {"EQ 1 5", "NOISESUP 1", "SRGB 0 255 255 255", "STS 2 R=0", "NULL 1"}) {
    ASSERT_EQ(ask(2, request).rfind("ACK ", 0), 0u) << request;
  }
  ASSERT_EQ(ask(1, "DEFAULTS"), "ACK DEFAULTS\r");

  const sim::RunResult snapshot = client({"-s", sim::Site::address(0)});
  ASSERT_EQ(snapshot.status, 0) << snapshot.err;
  const TextFile file(snapshot.out);
  const sim::RunResult apply =
      client({"-a", file.path(), sim::Site::address(1), sim::Site::address(2)});
  EXPECT_EQ(apply.out, sim::Site::address(1) + " done\n" + sim::Site::address(2) + " done\n")
      << apply.err;
  EXPECT_EQ(apply.status, 0);

  const std::string original = settings(0);
  EXPECT_EQ(settings(1), original) << "the snapshot was:\n" << snapshot.out;
  EXPECT_EQ(settings(2), original) << "the snapshot was:\n" << snapshot.out;
  // The copy reads back as the same file (but for the address it names).
  const sim::RunResult again = client({"-s", sim::Site::address(2)});
  EXPECT_EQ(again.out.substr(again.out.find('\n')), snapshot.out.substr(snapshot.out.find('\n')));
}

TEST_F(Fleet, ApplyReportsForEachApplianceWhereItStopped) {
  make(3);
  dsp_standin_set_fault(site->dsp(1), DSP_EQ_BAND1, DspFault::error_code,
                        7);                       // EQ band 1 fails on the second
  ASSERT_TRUE(site->appliance(2).kill_daemon());  // the third is silent
  const TextFile file(
      "# a microphone test between two settings\nTRACKING 0\nMICTEST\n\nEQ 1 -3\nTRACKING 1\n");
  const std::vector<std::string> hosts = {sim::Site::address(0), sim::Site::address(1),
                                          sim::Site::address(2)};
  // A reply time-out far shorter than the microphone test.
  std::vector<std::string> args = {"-a", file.path(), "-t", "1", "-r", "2"};
  args.insert(args.end(), hosts.begin(), hosts.end());
  const sim::RunResult run = client(args);
  EXPECT_EQ(run.out, hosts[0] + " done\n" + hosts[1] + " refused line 5: EQ 1 -3\n" + hosts[2] +
                         " no answer to line 2: TRACKING 0\n")
      << run.err;
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(ask(0, "TRACKING"), "ACK TRACKING 1\r");
  EXPECT_EQ(ask(1, "TRACKING"), "ACK TRACKING 0\r") << "nothing after the refused line";
  // The microphone test waited for, not sent again.
  for (int i = 0; i < 2; ++i) {
    int started = 0;
    for (const DspRequest& request : dsp_standin_requests(site->dsp(i))) {
      started += request.direction == 1 && request.param == DSP_MICTEST && request.value == 1;
    }
    EXPECT_EQ(started, 1) << "appliance " << i;
  }
}

TEST_F(Fleet, ApplyCompletesThroughLostRequestsAndReplies) {
  make(2);
  std::string error;
  ASSERT_TRUE(site->add_client_address("192.0.2.201", &error)) << error;
  ASSERT_TRUE(site->add_client_address("192.0.2.202", &error)) << error;
  const Relay losing_requests(*site, "192.0.2.201", 0, true);
  const Relay losing_replies(*site, "192.0.2.202", 1, false);
  ASSERT_TRUE(losing_requests.running() && losing_replies.running());
  // The first request gets through, the second is lost: ID must not run
  // twice, so it is not sent again.
  const TextFile identify("TRACKING 0\nID 1\n");
  const sim::RunResult once = client({"-a", identify.path(), "-t", "0.5", "192.0.2.201"});
  EXPECT_EQ(once.out, "192.0.2.201 no answer to line 2: ID 1\n") << once.err;
  EXPECT_EQ(once.status, 1);

  const TextFile file(
      "TRACKING 0\nNOISESUP 0\nAPT 2\nEQ 0 -5\nEQ 1 3\nEQ 2 -1\nSRGB 0 1 2 3\nSTS 4 G=0\n");
  const sim::RunResult run = client({"-a", file.path(), "-t", "0.5", "192.0.2.201", "192.0.2.202"});
  EXPECT_EQ(run.out, "192.0.2.201 done\n192.0.2.202 done\n") << run.err;
  EXPECT_EQ(run.status, 0);
  EXPECT_GE(losing_requests.dropped(), 4);
  EXPECT_GE(losing_replies.dropped(), 4);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(ask(i, "TRACKING") + ask(i, "NOISESUP") + ask(i, "APT") + ask(i, "EQ 0") +
                  ask(i, "EQ 1") + ask(i, "EQ 2") + ask(i, "GRGB 4"),
              "ACK TRACKING 0\rACK NOISESUP 0\rACK APT 2\rACK EQ 0 -5\rACK EQ 1 3\rACK EQ 2 "
              "-1\rACK GRGB 2 CH4 1 0 3\r");
  }
}

TEST_F(Fleet, ApplyRefusesAFileThatIsNotWholeTextBeforeSendingAnything) {
  make(1);
  ASSERT_EQ(ask(0, "TRACKING 1"), "ACK TRACKING 1\r");  // start-up's DSP requests are over
  const size_t served = dsp_standin_requests(site->dsp(0)).size();
  const std::string long_line = "EQ 1 " + std::string(orvo::kMaxDatagram, '1') + "\n";
  // A NUL byte would cut its line short (here in a comment, which is never
  // sent either), and a line too long for a request: the lines before them
  // are not sent.
  for (const std::string& text :
       {"TRACKING 0\n# note\0\nAPT 3\n"s, "TRACKING 0\nAPT 3\n\n" + long_line}) {
    const TextFile file(text);
    const sim::RunResult run = client({"-a", file.path(), sim::Site::address(0)});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(
        run.err.rfind(file.path() + (text.size() < 100 ? ":2: NUL byte" : ":4: line too long"), 0),
        0u)
        << run.err;
  }
  EXPECT_EQ(dsp_standin_requests(site->dsp(0)).size(), served) << "a line reached the DSP";
}

TEST_F(Fleet, ApplyTakesNoReplyFromAnotherAddressOrPort) {
  make(1);
  std::string error;
  ASSERT_TRUE(site->add_client_address("192.0.2.201", &error)) << error;
  ASSERT_TRUE(site->add_client_address("192.0.2.202", &error)) << error;
  // A host at 192.0.2.201 that never answers itself: the acknowledgement of
  // each request comes from its other port and from 192.0.2.202.
  const auto bound = [&](const char* address, int port) {
    const int fd = site->client_host().open_udp();
    sockaddr_in own{};
    own.sin_family = AF_INET;
    own.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &own.sin_addr);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&own), sizeof own), 0) << address;
    return fd;
  };
  const int asked = bound("192.0.2.201", orvo::kControlPort);
  const int forgers[] = {bound("192.0.2.201", 0), bound("192.0.2.202", orvo::kControlPort)};
  std::atomic<int> forged{0};
  std::atomic<bool> done{false};
  std::thread impostor([&] {
    char request[4096];
    pollfd ready{asked, POLLIN, 0};
    for (int rounds = 0; !done && rounds < 1000 && poll(&ready, 1, 50) >= 0; ++rounds) {
      sockaddr_in client{};
      socklen_t length = sizeof client;
      const ssize_t got = recvfrom(asked, request, sizeof request, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&client), &length);
      if (got <= 0) continue;
      const std::string reply = "ACK " + std::string(request, static_cast<size_t>(got));
      for (const int fd : forgers) {
        forged += sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&client),
                         length) > 0;
      }
    }
  });
  const TextFile file("TRACKING 0\n");
  const sim::RunResult run = client({"-a", file.path(), "-t", "0.5", "-r", "1", "192.0.2.201"});
  done = true;
  impostor.join();
  EXPECT_EQ(run.out, "192.0.2.201 no answer to line 1: TRACKING 0\n") << run.err;
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(forged, 4) << "two requests, each answered from elsewhere twice";
  close(asked);
  for (const int fd : forgers) close(fd);
}

}  // namespace
