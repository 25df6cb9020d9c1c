// Load and soak: 100,000 datagrams at full speed against the sandboxed daemon
// (native or under the emulator alike), with a window of outstanding
// requests. The traffic goes round a fixed table of requests, each with the
// reply it must bring and the line it must log: every command form that does
// not wait seconds (all but FU, IMPRESS and MICTEST), refusals, malformed
// framing, binary, empty and oversized datagrams.
//
// The window keeps the daemon's receive queue from overflowing, so every
// datagram reaches the daemon (the jail's UDP drop counters prove it), and
// every one must be answered exactly once, in order, with its reply.
// Afterwards the daemon's descriptors and resident memory must be what they
// were after the warm-up, the settings files whole and holding the last
// values set, and the log exactly the lines of the datagrams sent, in order.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <sstream>
#include <thread>

#include "protocol/protocol.h"
#include "tests/appliance.h"

namespace {

using Clock = std::chrono::steady_clock;

// Built with AddressSanitizer or ThreadSanitizer (and so is the daemon): their
// quarantine and shadow memory grow with the traffic, so resident memory says
// nothing about the daemon then.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizerMemory = true;
#elif defined(__has_feature)
constexpr bool kSanitizerMemory =
    __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool kSanitizerMemory = false;
#endif

// One row of the table: a datagram, its reply, and the line it logs ("" for
// none).
struct Row {
  std::string datagram;
  std::string reply;
  std::string logged = "";
};

const std::string kNoCr = logged(kLogNoCarriageReturn);
std::string invalid(const std::string& keyword) {
  return logged(kLogInvalidCommand, keyword.c_str());
}

// A command that echoes its arguments.
Row echoed(const std::string& datagram) { return {datagram, "ACK " + datagram, ""}; }
// A refusal echoes the text (up to the first NUL), cut to the reply buffer.
Row refused(const std::string& datagram, const std::string& logged = "") {
  const std::string text = datagram.substr(0, datagram.find('\0'));
  return {datagram, ("NACK " + text).substr(0, orvo::kMaxDatagram), logged};
}

// A report of every channel 1-16: the header, then one group per channel.
std::string all_channels(const std::string& header, const std::string& group) {
  std::string text = header;
  for (int channel = 1; channel <= 16; ++channel) {
    std::string ch = group;
    for (size_t at; (at = ch.find('#')) != std::string::npos;) {
      ch.replace(at, 1, "CH" + std::to_string(channel));
    }
    text += ch;
  }
  return text + "\r";
}

std::string letters(size_t count) {
  std::string text(count, 'A');
  for (size_t i = 0; i < count; ++i) text[i] = static_cast<char>('A' + i % 26);
  return text;
}

// Bytes without NUL, space, CR or capitals (no keyword has them), count of them.
std::string binary(size_t count) {
  std::string text;
  for (int byte = 1; text.size() < count; byte = byte % 255 + 1) {
    if (byte != ' ' && byte != '\r' && (byte < 'A' || byte > 'Z')) {
      text.push_back(static_cast<char>(byte));
    }
  }
  return text;
}

// Every round of the traffic: requests that take no DSP transfer. It starts
// by setting every channel, so that the reports after it have one answer.
std::vector<Row> round_rows() {
  std::vector<Row> rows = {
      echoed("SRGB 0 10 20 30\r"),
      {"GRGB 0\r", all_channels("ACK GRGB 0", " # 10 20 30")},
      {"GTS 0\r", all_channels("ACK GTS 0", " #R=1 #G=1 #B=1 #SC=0")},
      {"GTSB 0\r", all_channels("ACK GTSB 0", " #R=0 #G=0 #B=10 #SC=0")},
      echoed("STS 3 G=0\r"),
      {"GRGB 3\r", "ACK GRGB 2 CH3 10 0 30\r"},
      {"GTS 3\r", "ACK GTS 3 CH3R=1 CH3G=0 CH3B=1 CH3SC=0\r"},
      echoed("STSB 5 R=100\r"),
      {"GTSB 5\r", "ACK GTSB 5 CH5R=100 CH5G=0 CH5B=10 CH5SC=0\r"},
      {"GRGB 5\r", "ACK GRGB 2 CH5 255 20 30\r"},
      echoed("SRGB 16 300 -1 7\r"),
      {"GRGB 16\r", "ACK GRGB 2 CH16 44 255 7\r"},
      echoed("SRGB 17 9 9 9\r"),
      {"GTS 20\r", "ACK GTS 20\r"},
      {"GRGB 20\r", "ACK GRGB 2\r"},
      {"GTSB -3\r", "ACK GTSB -3\r"},
      {"VERSION\r", kVersionAck},
      {"VERSION \r", kVersionAck},
      // The text ends at the first NUL; the CR test looks at the last byte.
      {std::string("VERSION\0x\r", 10), kVersionAck},
      refused(std::string("FOO\0 x\r", 7), invalid("FOO")),
  };
  // Refused by the framing or by the command before it changes anything.
  for (const char* form : {"VERSION  \r",
                           "EQ  0\r",
                           "A B C D E F G H I  J K\r",
                           "VERSION x\r",
                           "ID\r",
                           "ID 2\r",
                           "ID 10\r",
                           "FU x\r",
                           "IMPRESS 1\r",
                           "MICTEST 1\r",
                           "DEFAULTS 1\r",
                           "GTS\r",
                           "GTSB 1 2\r",
                           "GRGB\r",
                           "STS 17 R=1\r",
                           "STS -1 R=1\r",
                           "STS 3 G=01\r",
                           "STS 3 r=1\r",
                           "STS 3\r",
                           "STSB 5 B=55\r",
                           "STSB 5 B=110\r",
                           "STSB 1 X=10\r",
                           "SRGB 1 2 3\r",
                           "TRACKING 2\r",
                           "TRACKING 1 1\r",
                           "NOISESUP -1\r",
                           "NOISERED 2\r",
                           "APT 4\r",
                           "APT 1 1\r",
                           "EQ 1 -21\r",
                           "EQ 1 7\r",
                           "EQ\r",
                           "NULL 0 7\r",
                           "NULL 1 2 3\r",
                           "NULLMASK 14\r",
                           "NULLMASK -1\r",
                           "NULLMASK 1 2\r",
                           "ACTNULCOL 1 2 3\r",
                           "DSPSTATUS 1\r"}) {
    rows.push_back(refused(form));
  }
  for (const std::string& keyword :
       std::vector<std::string>{"FOO", "version", "VERSIONX", "", "Id", "GRGB0", "XYZZY",
                                "X" + letters(30), binary(224), binary(2046)}) {
    rows.push_back(refused(keyword + "\r", invalid(keyword)));
    if (keyword.size() < 100) rows.push_back(refused(keyword + " 1 2\r", invalid(keyword)));
  }
  // Not ending in CR; bytes of every value, a NUL among them.
  std::string noise(300, '\0');
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>(i * 37 + 11);
  for (const std::string& unframed : {std::string(), std::string("VERSION"),
                                      std::string("GRGB 0\r\n"), std::string("VERSION\n"), noise}) {
    rows.push_back(refused(unframed, kNoCr));
  }
  // Longer than a receive takes: the CR is cut off.
  for (const size_t size : {2048, 2100, 4000, 65507}) {
    rows.push_back(refused(letters(size - 1) + "\r", kNoCr));
  }
  return rows;
}

// Between the rounds, one group at a time, in turn: requests that reach the
// DSP (each transfer takes at least 10 ms) and the identify blink, which
// then runs for a few rounds. Each group's reads answer to its own writes.
std::vector<std::vector<Row>> groups() {
  return {
      {{"DEFAULTS\r", "ACK DEFAULTS\r"},
       {"TRACKING\r", "ACK TRACKING 1\r"},
       {"APT\r", "ACK APT 0\r"},
       {"EQ 1\r", "ACK EQ 1 0\r"},
       {"NULL\r", "ACK NULL 0\r"},
       {"ACTNULCOL\r", "ACK ACTNULCOL 0 255 0 234 123 0\r"}},
      {echoed("TRACKING 0\r"),
       {"TRACKING\r", "ACK TRACKING 0\r"},
       echoed("NOISESUP 1\r"),
       {"NOISERED\r", "ACK NOISERED 1\r"}},
      {echoed("ID 1\r")},
      {echoed("APT 3\r"), {"APT\r", "ACK APT 3\r"}},
      {echoed("EQ 1 -3\r"),
       {"EQ 1\r", "ACK EQ 1 -3\r"},
       echoed("EQ 0 6\r"),
       {"EQ 0\r", "ACK EQ 0 6\r"}},
      {echoed("NULL 3 7\r"), {"NULL\r", "ACK NULL 3 7\r"}, {"NULLMASK\r", "ACK NULLMASK 136\r"}},
      {echoed("ID 0\r")},
      {echoed("NULLMASK 6\r"), {"NULL\r", "ACK NULL 1 2\r"}, {"NULLMASK\r", "ACK NULLMASK 6\r"}},
      {echoed("TRACKING 1\r"),
       {"TRACKING\r", "ACK TRACKING 1\r"},
       echoed("NOISERED 0\r"),
       {"NOISESUP\r", "ACK NOISESUP 0\r"}},
      {echoed("APT 0\r"), {"APT\r", "ACK APT 0\r"}},
      {echoed("EQ 2 -20\r"), {"EQ 2\r", "ACK EQ 2 -20\r"}},
      {{"DSPSTATUS\r", "ACK DSPSTATUS 0\r"}},
      {echoed("NULL 0\r"), {"NULL\r", "ACK NULL 0\r"}},
      {echoed("ACTNULCOL 0 0 255 255 0 0\r"),
       {"ACTNULCOL 256 -1 0 0 0 0\r", "ACK ACTNULCOL 0 255 0 0 0 0\r"},
       {"ACTNULCOL\r", "ACK ACTNULCOL 0 255 0 0 0 0\r"}},
  };
}

// What the settings files hold after a whole turn of the groups and a round.
const std::map<unsigned, int> kFinalParams = {
    {DSP_TRACKING, 1},   {DSP_NOISE, 0},     {DSP_APT_ENABLE, 0}, {DSP_EQ_ENABLE, 1},
    {DSP_NULL_COUNT, 0}, {DSP_EQ_BAND0, 6},  {DSP_EQ_BAND1, -3},  {DSP_EQ_BAND2, -20},
    {DSP_APT_MODE, 2},   {DSP_NULL_MASK, 0}, {DSP_PARAM_13, 5629}};
const std::string kFinalColours = bytes({0, 0, 0, 0, 255, 0});  // null, then active
std::string final_led_image() {
  std::string image(kLedImageSize, '\0');
  for (int channel = 1; channel <= 16; ++channel) {
    for (int component = 0; component < 3; ++component) {
      image[led_flag_at(channel, component)] = 1;
      image[led_level_at(channel, component)] = static_cast<char>(10 * (component + 1));
    }
  }
  image[led_flag_at(3, 1)] = 0;
  image[led_level_at(5, 0)] = static_cast<char>(255);
  image.replace(led_level_at(16, 0), 3, bytes({44, 255, 7}));
  return image;
}

// The traffic: turns of every group in order, each group followed by rounds
// of the round rows. Rows are shared, not copied.
std::vector<const Row*> traffic(const std::vector<Row>& round,
                                const std::vector<std::vector<Row>>& groups, int turns,
                                int rounds) {
  std::vector<const Row*> items;
  for (int turn = 0; turn < turns; ++turn) {
    for (const std::vector<Row>& group : groups) {
      for (const Row& row : group) items.push_back(&row);
      for (int i = 0; i < rounds; ++i) {
        for (const Row& row : round) items.push_back(&row);
      }
    }
  }
  return items;
}

// "Udp: InDatagrams NoPorts InErrors OutDatagrams RcvbufErrors ..." of a
// network namespace, as name -> value.
std::map<std::string, long> udp_counters(pid_t pid) {
  std::istringstream snmp(sim::read_text("/proc/" + std::to_string(pid) + "/net/snmp"));
  std::string names, values, line;
  while (std::getline(snmp, line)) {
    if (line.rfind("Udp: ", 0) != 0) continue;
    (names.empty() ? names : values) = line;
  }
  std::map<std::string, long> counters;
  std::istringstream name_words(names), value_words(values);
  std::string name, value;
  while (name_words >> name && value_words >> value) counters[name] = atol(value.c_str());
  return counters;
}

long resident_kib(pid_t pid) {
  const std::string status = sim::read_text("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : atol(status.c_str() + at + 6);
}

std::string shown(const std::string& bytes) {
  std::string out;
  for (const unsigned char c : bytes.substr(0, 120)) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    }
  }
  return bytes.size() > 120 ? out + "... (" + std::to_string(bytes.size()) + " bytes)" : out;
}

class Soak : public StartedAppliance {
 protected:
  // The sandbox's files (LEDs, settings) on a memory file system: on a disk,
  // rewriting them (and syncing the settings) costs milliseconds of I/O each,
  // which the appliance's sysfs and flash do not, and would hide the daemon.
  static void SetUpTestSuite() {
    struct stat shm;
    if (stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode)) setenv("TMPDIR", "/dev/shm", 1);
  }
  void SetUp() override {
    StartedAppliance::SetUp();
    if (HasFatalFailure()) return;
    socket_ = box->open_udp();
    ASSERT_GE(socket_, 0);
    const int buffer = 4 << 20;
    setsockopt(socket_, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
    daemon_.sin_family = AF_INET;
    daemon_.sin_port = htons(orvo::kControlPort);
    daemon_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  void TearDown() override {
    if (socket_ >= 0) close(socket_);
    Appliance::TearDown();
  }

  // Sends the items with a window of outstanding requests and checks every
  // reply against the oldest unanswered item. False on the first fault.
  bool exchange(const std::vector<const Row*>& items) {
    constexpr size_t kWindow = 16;
    constexpr size_t kQueueBudget = 160 * 1024;  // the daemon's queue holds 208 KiB
    const auto queue_cost = [](const Row* row) { return 2 * row->datagram.size() + 1024; };
    std::deque<size_t> outstanding;
    size_t next = 0, queued = 0;
    const auto deadline = Clock::now() + 10min;
    char reply[65536];
    while (next < items.size() || !outstanding.empty()) {
      while (next < items.size() && outstanding.size() < kWindow &&
             (outstanding.empty() || queued + queue_cost(items[next]) <= kQueueBudget)) {
        const std::string& datagram = items[next]->datagram;
        if (sendto(socket_, datagram.data(), datagram.size(), 0,
                   reinterpret_cast<sockaddr*>(&daemon_),
                   sizeof daemon_) != static_cast<ssize_t>(datagram.size())) {
          ADD_FAILURE() << "cannot send datagram " << next << ": " << strerror(errno);
          return false;
        }
        queued += queue_cost(items[next]);
        outstanding.push_back(next++);
      }
      pollfd ready{socket_, POLLIN, 0};
      if (poll(&ready, 1, 10000) != 1 || Clock::now() > deadline) {
        ADD_FAILURE() << "no reply to datagram " << outstanding.front() << ": "
                      << shown(items[outstanding.front()]->datagram);
        return false;
      }
      const ssize_t got = recv(socket_, reply, sizeof reply, 0);
      if (got < 0) continue;
      const Row* row = items[outstanding.front()];
      const std::string answer(reply, static_cast<size_t>(got));
      if (answer != row->reply) {
        ADD_FAILURE() << "datagram " << outstanding.front() << " (" << shown(row->datagram)
                      << ") was answered " << shown(answer) << ", expected " << shown(row->reply);
        return false;
      }
      queued -= queue_cost(row);
      outstanding.pop_front();
    }
    // Nothing more may come.
    pollfd ready{socket_, POLLIN, 0};
    if (poll(&ready, 1, 200) != 0) {
      ADD_FAILURE() << "a reply came that no datagram asked for";
      return false;
    }
    return true;
  }

  int socket_ = -1;
  sockaddr_in daemon_{};
};

TEST_F(Soak, EveryDatagramIsAnsweredOnceInOrderAndNothingLeaksOrIsLost) {
  constexpr size_t kCount = 100000;
  constexpr int kTurns = 8;
  const std::vector<Row> round = round_rows();
  const std::vector<std::vector<Row>> turn = groups();
  size_t group_rows = 0;
  for (const std::vector<Row>& group : turn) group_rows += group.size();
  const int rounds =
      static_cast<int>((kCount / kTurns - group_rows) / (turn.size() * round.size()) + 1);

  // Warm-up: every row once, so that lazily made state (the log connection,
  // the mailbox mapping, buffers of the C library) exists.
  const std::vector<const Row*> warm_up = traffic(round, turn, 1, 1);
  ASSERT_TRUE(exchange(warm_up));

  const pid_t pid = box->daemon_pid();
  ASSERT_GT(pid, 0);
  const std::vector<std::string> descriptors_before = descriptors();
  const long rss_before = resident_kib(pid);
  const std::map<std::string, long> counters_before = udp_counters(pid);

  const std::vector<const Row*> items = traffic(round, turn, kTurns, rounds);
  ASSERT_GE(items.size(), kCount);
  const auto started = Clock::now();
  ASSERT_TRUE(exchange(items));
  const auto seconds = std::chrono::duration<double>(Clock::now() - started).count();
  std::printf("soak: %zu datagrams in %.1f s (%.0f per second)\n", items.size(), seconds,
              static_cast<double>(items.size()) / seconds);

  // Every datagram reached the daemon: none was dropped on the way in.
  std::map<std::string, long> counters = udp_counters(pid);
  EXPECT_EQ(counters["RcvbufErrors"], counters_before.at("RcvbufErrors"));
  EXPECT_EQ(counters["InErrors"], counters_before.at("InErrors"));
  EXPECT_GE(counters["InDatagrams"] - counters_before.at("InDatagrams"),
            static_cast<long>(items.size()));

  ASSERT_EQ(box->daemon_pid(), pid) << "the daemon ended";
  EXPECT_EQ(descriptors(), descriptors_before);
  const long rss_after = resident_kib(pid);
  std::printf("soak: resident memory %ld KiB before, %ld KiB after\n", rss_before, rss_after);
  if (!kSanitizerMemory) {
    EXPECT_LE(rss_after - rss_before, 64) << "resident memory grew from " << rss_before << " KiB";
  }

  // The settings files are whole and hold the last values set.
  for (unsigned param = 0; param < kDspParamCount; ++param) {
    const auto value = kFinalParams.find(param);
    if (value == kFinalParams.end()) {
      EXPECT_FALSE(box->exists(sim::dsp_param_path(param))) << "parameter " << param;
    } else {
      EXPECT_EQ(param_file(param), le16(value->second)) << "parameter " << param;
    }
  }
  EXPECT_EQ(box->read_file(kNullColourPath), kFinalColours);
  EXPECT_EQ(box->read_file(kLedStatePath), final_led_image());

  // The log holds exactly the lines of what was sent, in order.
  std::vector<std::string> expected;
  for (const std::vector<const Row*>* sent : {&warm_up, &items}) {
    for (const Row* row : *sent) {
      if (!row->logged.empty()) expected.push_back(row->logged);
    }
  }
  messages(expected.size(), 30s);
  std::this_thread::sleep_for(100ms);  // and nothing after them
  const std::vector<std::string> logged = messages();
  ASSERT_EQ(logged.size(), expected.size());
  for (size_t i = 0; i < logged.size(); ++i) {
    ASSERT_EQ(logged[i], expected[i]) << "log line " << i;
  }
}

}  // namespace
