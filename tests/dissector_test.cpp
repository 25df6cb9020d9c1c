// The Wireshark dissector of the control protocol, on a capture of the real
// daemon's traffic on the appliance sandbox's loopback.

#include <sys/stat.h>

#include <sstream>
#include <thread>

#include "tests/appliance.h"

namespace {

constexpr const char* kDumpcap = "/usr/bin/dumpcap";
constexpr const char* kTshark = "/usr/bin/tshark";

// The dissector's fields of one datagram, as tshark prints them (several
// occurrences of a field joined by ";").
struct Decoded {
  std::string request, reply, keyword, args, arg, values, echo, expert;
};

class Dissector : public StartedAppliance {
 protected:
  void SetUp() override {
    ASSERT_EQ(access(kDumpcap, X_OK), 0) << "dumpcap is missing: install tshark";
    ASSERT_EQ(access(kTshark, X_OK), 0) << "tshark is missing: install it";
    StartedAppliance::SetUp();
  }

  // Sends each datagram and waits for its reply while dumpcap records the
  // traffic on the jail's loopback; the replies in order.
  std::vector<std::string> capture(const std::vector<std::string>& datagrams) {
    const std::string packets = std::to_string(2 * datagrams.size());
    sim::RunResult recorder;
    std::thread recording([&] {
      recorder = box->run_in_network({kDumpcap, "-q", "-i", "lo", "-f", "udp port 49494", "-c",
                                      packets, "-a", "duration:30", "-w", file()},
                                     40s);
    });
    // dumpcap writes the file's header once its filter is in place.
    struct stat status {};
    for (int i = 0; i < 1000 && (stat(file().c_str(), &status) != 0 || status.st_size == 0); ++i) {
      std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(200ms);
    std::vector<std::string> replies;
    for (const std::string& datagram : datagrams) replies.push_back(ask(datagram));
    recording.join();
    EXPECT_EQ(recorder.status, 0) << "dumpcap: " << recorder.err;
    return replies;
  }

  // The capture decoded by tshark with the dissector, one entry per datagram.
  std::vector<Decoded> decode() {
    const sim::RunResult tshark =
        box->run_in_network({kTshark,
                             "-r",
                             file(),
                             "-X",
                             std::string("lua_script:") + ORVO_DISSECTOR_PATH,
                             "-T",
                             "fields",
                             "-E",
                             "separator=/t",
                             "-E",
                             "occurrence=a",
                             "-E",
                             "aggregator=;",
                             "-E",
                             "quote=n",
                             "-e",
                             "orvo.request",
                             "-e",
                             "orvo.reply",
                             "-e",
                             "orvo.keyword",
                             "-e",
                             "orvo.args",
                             "-e",
                             "orvo.arg",
                             "-e",
                             "orvo.values",
                             "-e",
                             "orvo.echo",
                             "-e",
                             "_ws.expert.message"},
                            30s);
    EXPECT_EQ(tshark.status, 0) << tshark.err;
    EXPECT_EQ(tshark.err.find("Lua"), std::string::npos) << "the dissector failed: " << tshark.err;
    std::vector<Decoded> decoded;
    std::istringstream lines(tshark.out);
    for (std::string line; std::getline(lines, line);) {
      std::vector<std::string> columns;
      std::istringstream cells(line);
      for (std::string cell; std::getline(cells, cell, '\t');) columns.push_back(cell);
      columns.resize(8);
      decoded.push_back({columns[0], columns[1], columns[2], columns[3], columns[4], columns[5],
                         columns[6], columns[7]});
    }
    return decoded;
  }

  std::string file() const { return box->folder() + "/orvo.pcapng"; }
};

bool has(const std::string& list, const std::string& item) {
  return (";" + list + ";").find(";" + item + ";") != std::string::npos;
}

TEST_F(Dissector, DecodesRequestsAcknowledgementsAndRefusals) {
  const std::vector<std::string> replies = capture({
      "VERSION\r",
      "FOO 1 2\r",
      "VERSION",
      "EQ 1 -3\r",
      "SRGB 1 2 3 4 5 6 7 8 9 10\r",
  });
  ASSERT_EQ(replies[0], kVersionAck);
  ASSERT_EQ(replies[1], "NACK FOO 1 2\r");
  ASSERT_EQ(replies[2], "NACK VERSION");
  const std::vector<Decoded> d = decode();
  ASSERT_EQ(d.size(), 10u) << "request and reply of each of the five commands";

  // VERSION and its acknowledgement.
  EXPECT_EQ(d[0].request, "VERSION");
  EXPECT_EQ(d[0].keyword, "VERSION");
  EXPECT_EQ(d[0].args, "");
  EXPECT_EQ(d[0].reply, "");
  EXPECT_EQ(d[0].expert, "");
  EXPECT_EQ(d[1].reply, "ACK");
  EXPECT_EQ(d[1].keyword, "VERSION");
  EXPECT_EQ(d[1].values, "1.0.0-sim");
  EXPECT_EQ(d[1].request, "");

  // An unknown keyword: flagged in the request, echoed by the NACK.
  EXPECT_EQ(d[2].keyword, "FOO");
  EXPECT_EQ(d[2].args, "1 2");
  EXPECT_EQ(d[2].arg, "1;2");
  EXPECT_TRUE(has(d[2].expert, "Unknown keyword")) << d[2].expert;
  EXPECT_EQ(d[3].reply, "NACK");
  EXPECT_EQ(d[3].echo, "FOO 1 2");
  EXPECT_EQ(d[3].keyword, "FOO");
  EXPECT_EQ(d[3].arg, "1;2");

  // No carriage return: malformed, and so is the echo.
  EXPECT_EQ(d[4].request, "VERSION");
  EXPECT_TRUE(has(d[4].expert, "Request does not end in a carriage return")) << d[4].expert;
  EXPECT_EQ(d[5].reply, "NACK");
  EXPECT_EQ(d[5].echo, "VERSION");
  EXPECT_TRUE(has(d[5].expert, "Request does not end in a carriage return")) << d[5].expert;

  // A command with arguments, decoded whatever the daemon answered.
  EXPECT_EQ(d[6].keyword, "EQ");
  EXPECT_EQ(d[6].arg, "1;-3");
  EXPECT_EQ(d[6].expert, "");
  EXPECT_EQ(d[7].keyword, "EQ");
  if (replies[3].rfind("ACK ", 0) == 0) {
    EXPECT_EQ(d[7].reply, "ACK");
    EXPECT_EQ(d[7].values, "1 -3");
  } else {
    EXPECT_EQ(d[7].reply, "NACK");
    EXPECT_EQ(d[7].echo, "EQ 1 -3");
    EXPECT_EQ(d[7].args, "1 -3");
  }

  // Ten tokens at most: the last holds the rest of the line, as the daemon
  // splits it.
  EXPECT_EQ(d[8].keyword, "SRGB");
  EXPECT_EQ(d[8].arg, "1;2;3;4;5;6;7;8;9 10");
  EXPECT_EQ(d[9].reply, "NACK");
  EXPECT_EQ(d[9].arg, "1;2;3;4;5;6;7;8;9 10");
}

}  // namespace
