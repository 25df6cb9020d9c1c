// Load and soak: 100,000 mixed datagrams at full speed against the sandboxed
// daemon (native or under the emulator alike: either takes well under a
// minute), with a window of outstanding requests. Every valid command form
// that does not wait seconds (all but FU, IMPRESS and MICTEST), refusals,
// malformed framing, binary, empty and oversized datagrams.
//
// The window keeps the daemon's receive queue from overflowing, so every
// datagram reaches the daemon (the jail's UDP drop counters prove it), and
// every one must be answered exactly once, in order, with the reply the
// protocol defines. Afterwards the daemon's descriptors and resident memory
// must be what they were after the warm-up, the settings files whole and
// holding the last values set, and the log exactly the messages defined for
// the datagrams sent.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>

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
constexpr bool kSanitizerMemory = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool kSanitizerMemory = false;
#endif

constexpr const char* kVersionAck = "ACK VERSION 1.0.0-sim\r";
constexpr const char* kNoCr = "request did not end in carriage return\n";

// One datagram and what must come back for it.
struct Item {
  std::string datagram;
  std::string exact;       // the whole reply, when it is known
  std::string prefix;      // otherwise its start,
  std::string group;       // and the text that starts each channel group,
  int groups = -1;         // and how many there are
  std::optional<std::string> logged;
};

std::string text_of(const std::string& datagram) { return datagram.substr(0, datagram.find('\0')); }

std::string nack(const std::string& datagram) {
  return ("NACK " + text_of(datagram)).substr(0, orvo::kMaxDatagram);
}

// Draws the datagrams and keeps what the daemon must hold after them: the
// DSP parameters (command values), which parameter files exist, the colours.
class Traffic {
 public:
  std::array<int, 15> param{};
  std::array<bool, 15> stored{};
  std::array<int, 6> colours{234, 123, 0, 0, 255, 0};
  bool colours_saved = false;
  bool leds_saved = false;
  std::vector<std::string> log;

  Traffic() {
    param[13] = 5629;  // stored at every start
    stored[13] = true;
  }

  Item next() {
    const int roll = static_cast<int>(random_() % 10000);
    if (roll < 2500) return report();
    if (roll < 4000) return led_write();
    if (roll < 6000) return refused();
    if (roll < 7500) return unknown_keyword();
    if (roll < 8500) return unframed();
    if (roll < 9000) return binary_keyword();
    if (roll < 9050) return nul_inside();
    if (roll < 9150) return oversized();
    if (roll < 9200) return dsp_command();
    if (roll < 9201) return defaults();
    if (roll < 9202) return identify(random_() % 2 == 0);
    return report();
  }

  // Every kind at least once, rare ones included.
  std::vector<Item> every_kind() {
    std::vector<Item> items = {report(), led_write(), refused(), unknown_keyword(), unframed(),
                               binary_keyword(), nul_inside(), oversized(), defaults(), identify(true)};
    for (int i = 0; i < 40; ++i) items.push_back(dsp_command());
    items.push_back(identify(false));
    return items;
  }

  Item identify(bool on) { return ack(on ? "ID 1\r" : "ID 0\r", on ? "ACK ID 1\r" : "ACK ID 0\r"); }

 private:
  std::mt19937 random_{20240607};

  int pick(int low, int high) { return low + static_cast<int>(random_() % static_cast<unsigned>(high - low + 1)); }
  std::string component() { return std::string(1, "RGB"[pick(0, 2)]); }

  static Item ack(const std::string& datagram, const std::string& reply) {
    Item item;
    item.datagram = datagram;
    item.exact = reply;
    return item;
  }
  // The ACK of a command that echoes its argument tokens.
  static Item echoed(const std::string& datagram) { return ack(datagram, "ACK " + datagram); }
  Item refusal(const std::string& datagram, std::optional<std::string> logged = std::nullopt) {
    Item item{datagram, nack(datagram), "", "", -1, logged};
    if (logged) log.push_back(*logged);
    return item;
  }

  Item report() {
    const int kind = pick(0, 3);
    if (kind == 0) return ack(pick(0, 1) ? "VERSION\r" : "VERSION \r", kVersionAck);
    const int channel = pick(0, 20);
    const std::string keyword = kind == 1 ? "GTS" : kind == 2 ? "GTSB" : "GRGB";
    Item item;
    item.datagram = keyword + " " + std::to_string(channel) + "\r";
    item.prefix = kind == 3 ? (channel == 0 ? "ACK GRGB 0" : "ACK GRGB 2") : "ACK " + keyword + " " + std::to_string(channel);
    item.group = kind == 3 ? " CH" : "SC=0";
    item.groups = channel == 0 ? 16 : channel <= 16 ? 1 : 0;
    return item;
  }

  Item led_write() {
    leds_saved = true;
    const std::string channel = std::to_string(pick(0, 16));
    switch (pick(0, 2)) {
      case 0: return echoed("STS " + channel + " " + component() + "=" + std::to_string(pick(0, 1)) + "\r");
      case 1: return echoed("STSB " + channel + " " + component() + "=" + std::to_string(10 * pick(0, 10)) + "\r");
      default:
        return echoed("SRGB " + std::to_string(pick(0, 20)) + " " + std::to_string(pick(0, 300)) + " " +
                      std::to_string(pick(0, 300)) + " " + std::to_string(pick(0, 300)) + "\r");
    }
  }

  // Refused by the framing or by the command, before it changes anything.
  Item refused() {
    static const char* const forms[] = {
        "VERSION  \r", "EQ  0\r", "A B C D E F G H I  J K\r", "VERSION x\r", "ID\r", "ID 2\r", "ID 10\r",
        "FU x\r", "IMPRESS 1\r", "MICTEST 1\r", "DEFAULTS 1\r", "GTS\r", "GTSB 1 2\r", "GRGB\r",
        "STS 17 R=1\r", "STS -1 R=1\r", "STS 3 G=01\r", "STS 3 r=1\r", "STS 3\r", "STSB 5 B=55\r",
        "STSB 5 B=110\r", "STSB 1 X=10\r", "SRGB 1 2 3\r", "TRACKING 2\r", "TRACKING 1 1\r", "NOISESUP -1\r",
        "NOISERED 2\r", "APT 4\r", "APT 1 1\r", "EQ 1 -21\r", "EQ 1 7\r", "EQ\r", "NULL 0 7\r",
        "NULL 1 2 3\r", "NULLMASK 14\r", "NULLMASK -1\r", "NULLMASK 1 2\r", "ACTNULCOL 1 2 3\r",
        "DSPSTATUS 1\r"};
    return refusal(forms[pick(0, static_cast<int>(std::size(forms)) - 1)]);
  }

  Item unknown_keyword() {
    static const char* const forms[] = {"FOO", "version", "VERSIONX", "", "Id", "GRGB0", "XYZZY"};
    std::string keyword = forms[pick(0, static_cast<int>(std::size(forms)) - 1)];
    if (pick(0, 1) == 0) {
      keyword = "X";
      for (int i = pick(1, 30); i > 0; --i) keyword += static_cast<char>(pick('A', 'Z'));
    }
    const std::string arguments = pick(0, 1) ? " 1 2" : "";
    return refusal(keyword + arguments + "\r", "invalid command '" + keyword + "' received\n");
  }

  Item unframed() {
    switch (pick(0, 4)) {
      case 0: return refusal("", kNoCr);
      case 1: return refusal("VERSION", kNoCr);
      case 2: return refusal("GRGB 0\r\n", kNoCr);
      case 3: return refusal("VERSION\n", kNoCr);
      default: {
        std::string bytes(static_cast<size_t>(pick(1, 300)), '\0');
        for (char& byte : bytes) byte = static_cast<char>(pick(0, 255));
        if (bytes.back() == '\r') bytes.back() = '\n';
        return refusal(bytes, kNoCr);
      }
    }
  }

  // Bytes without NUL, space or CR, then CR: an unknown keyword.
  Item binary_keyword() {
    std::string keyword(static_cast<size_t>(pick(1, pick(0, 9) == 0 ? 2046 : 40)), 'x');
    for (char& byte : keyword) {
      do {
        byte = static_cast<char>(pick(1, 255));
      } while (byte == ' ' || byte == '\r' || (byte >= 'A' && byte <= 'Z'));
    }
    return refusal(keyword + "\r", "invalid command '" + keyword + "' received\n");
  }

  // The text ends at the first NUL; the CR test looks at the last byte.
  Item nul_inside() {
    if (pick(0, 1)) return ack(std::string("VERSION\0x\r", 10), kVersionAck);
    return refusal(std::string("FOO\0 x\r", 7), "invalid command 'FOO' received\n");
  }

  // Cut by the receive: the CR is lost.
  Item oversized() {
    static const size_t sizes[] = {2048, 2100, 4000, 65507};
    std::string bytes(sizes[pick(0, 3)], 'A');
    for (char& byte : bytes) byte = static_cast<char>(pick('A', 'Z'));
    bytes.back() = '\r';
    return refusal(bytes, kNoCr);
  }

  int mask() const { return param[12]; }
  void store(unsigned index, int value) {
    param[index] = value;
    stored[index] = true;
  }
  void apply_mask(int value) {
    leds_saved = true;
    store(12, value);
    store(4, std::popcount(static_cast<unsigned>(value)));
  }
  static int channel_bit(int channel) { return channel >= 1 && channel <= 15 ? 1 << channel : 0; }

  // Commands that reach the DSP (each transfer takes at least 10 ms).
  Item dsp_command() {
    static const char* const switches[] = {"TRACKING", "NOISESUP", "NOISERED"};
    switch (pick(0, 9)) {
      case 0: {
        const int which = pick(0, 2);
        const std::string keyword = switches[which];
        const unsigned index = which == 0 ? 0 : 1;
        if (pick(0, 1)) return ack(keyword + "\r", "ACK " + keyword + " " + std::to_string(param[index]) + "\r");
        const int value = pick(0, 1);
        store(index, value);
        return echoed(keyword + " " + std::to_string(value) + "\r");
      }
      case 1: {
        if (pick(0, 1)) return ack("APT\r", "ACK APT " + std::to_string(param[2] ? param[11] + 1 : 0) + "\r");
        const int mode = pick(0, 3);
        store(2, mode != 0);
        if (mode != 0) store(11, mode - 1);
        return echoed("APT " + std::to_string(mode) + "\r");
      }
      case 2: {
        const int band = pick(0, 2);
        const int gain = param[3] ? param[5 + band] : 0;
        return ack("EQ " + std::to_string(band) + "\r",
                   "ACK EQ " + std::to_string(band) + " " + std::to_string(gain) + "\r");
      }
      case 3: {
        const int band = pick(0, 2), gain = pick(-20, 6);
        store(3, 1);
        store(5 + static_cast<unsigned>(band), gain);
        return echoed("EQ " + std::to_string(band) + " " + std::to_string(gain) + "\r");
      }
      case 4: {
        std::string reply = "ACK NULL";
        int listed = 0;
        for (int bit = 1; bit <= 15 && listed < 2; ++bit) {
          if (mask() & (1 << bit)) {
            reply += " " + std::to_string(bit);
            ++listed;
          }
        }
        return ack("NULL\r", reply + (listed == 0 ? " 0\r" : "\r"));
      }
      case 5: {
        const int a = pick(-1, 16);
        apply_mask(channel_bit(a));
        return echoed("NULL " + std::to_string(a) + "\r");
      }
      case 6: {
        const int a = pick(1, 15), b = pick(1, 15);
        apply_mask(channel_bit(a) | channel_bit(b));
        return echoed("NULL " + std::to_string(a) + " " + std::to_string(b) + "\r");
      }
      case 7: {
        if (pick(0, 1)) return ack("NULLMASK\r", "ACK NULLMASK " + std::to_string(mask()) + "\r");
        const int value = channel_bit(pick(1, 15)) | channel_bit(pick(0, 15));
        apply_mask(value);
        return echoed("NULLMASK " + std::to_string(value) + "\r");
      }
      case 8: return ack("DSPSTATUS\r", "ACK DSPSTATUS 0\r");
      default: {
        if (pick(0, 1) == 0) return ack("ACTNULCOL\r", colours_ack());
        std::string datagram = "ACTNULCOL";
        std::array<int, 6> given{};
        for (int& value : given) {
          value = pick(-300, 600);
          datagram += " " + std::to_string(value);
        }
        // Arguments 1-3 are the active colour, 4-6 the null colour.
        for (int i = 0; i < 3; ++i) {
          colours[3 + i] = given[i] & 0xFF;
          colours[i] = given[3 + i] & 0xFF;
        }
        colours_saved = true;
        apply_mask(mask());
        return ack(datagram + "\r", colours_ack());
      }
    }
  }

  std::string colours_ack() const {
    std::string reply = "ACK ACTNULCOL";
    for (int i : {3, 4, 5, 0, 1, 2}) reply += " " + std::to_string(colours[i]);
    return reply + "\r";
  }

  Item defaults() {
    for (const auto& [index, value] : std::initializer_list<std::pair<unsigned, int>>{
             {0, 1}, {1, 1}, {2, 0}, {11, 0}, {4, 0}, {12, 0}, {5, 0}, {6, 0}, {7, 0}, {3, 0}, {13, 5629}}) {
      store(index, value);
    }
    colours = {234, 123, 0, 0, 255, 0};
    colours_saved = true;
    leds_saved = true;
    return ack("DEFAULTS\r", "ACK DEFAULTS\r");
  }
};

// "Udp: InDatagrams NoPorts InErrors OutDatagrams RcvbufErrors ..." of a
// network namespace, as name -> value.
std::map<std::string, long> udp_counters(pid_t pid) {
  std::ifstream snmp("/proc/" + std::to_string(pid) + "/net/snmp");
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

struct Footprint {
  std::vector<std::string> descriptors;  // "fd -> target"
  long rss_kib = -1;
};

Footprint footprint(pid_t pid) {
  Footprint print;
  const std::string dir = "/proc/" + std::to_string(pid);
  for (int fd = 0; fd < 1024; ++fd) {
    char target[512];
    const ssize_t length = readlink((dir + "/fd/" + std::to_string(fd)).c_str(), target, sizeof target);
    if (length > 0) print.descriptors.push_back(std::to_string(fd) + " -> " + std::string(target, static_cast<size_t>(length)));
  }
  std::ifstream status(dir + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) print.rss_kib = atol(line.c_str() + 6);
  }
  return print;
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

class Soak : public Appliance {
 protected:
  // The sandbox's files (LEDs, settings) on a memory file system: on a disk,
  // rewriting them (and syncing the settings) costs milliseconds of I/O each,
  // which the appliance's sysfs and flash do not, and would hide the daemon.
  static void SetUpTestSuite() {
    struct stat shm;
    if (stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode)) setenv("TMPDIR", "/dev/shm", 1);
  }
  void SetUp() override {
    Appliance::SetUp();
    start();
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
  bool exchange(const std::vector<Item>& items) {
    constexpr size_t kWindow = 16;
    constexpr size_t kQueueBudget = 160 * 1024;  // the daemon's queue holds 208 KiB
    const auto queue_cost = [](const Item& item) { return 2 * item.datagram.size() + 1024; };
    std::deque<size_t> outstanding;
    size_t next = 0, queued = 0;
    const auto deadline = Clock::now() + 10min;
    char reply[65536];
    while (next < items.size() || !outstanding.empty()) {
      while (next < items.size() && outstanding.size() < kWindow &&
             (outstanding.empty() || queued + queue_cost(items[next]) <= kQueueBudget)) {
        const std::string& datagram = items[next].datagram;
        if (sendto(socket_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&daemon_),
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
                      << shown(items[outstanding.front()].datagram);
        return false;
      }
      const ssize_t got = recv(socket_, reply, sizeof reply, 0);
      if (got < 0) continue;
      const Item& item = items[outstanding.front()];
      const std::string answer(reply, static_cast<size_t>(got));
      if (!matches(item, answer)) {
        ADD_FAILURE() << "datagram " << outstanding.front() << " (" << shown(item.datagram) << ") was answered "
                      << shown(answer) << ", expected "
                      << shown(item.exact.empty() ? item.prefix + "..." : item.exact);
        return false;
      }
      queued -= queue_cost(item);
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

  static bool matches(const Item& item, const std::string& answer) {
    if (!item.exact.empty()) return answer == item.exact;
    if (answer.rfind(item.prefix, 0) != 0 || answer.back() != '\r') return false;
    int groups = 0;
    for (size_t at = answer.find(item.group); at != std::string::npos; at = answer.find(item.group, at + 1)) {
      ++groups;
    }
    return groups == item.groups;
  }

  // The state file's flags and effective levels against the daemon's reports.
  void expect_led_file_matches_reports() {
    const std::string file = box->read_file(kLedStatePath);
    ASSERT_EQ(file.size(), 102u);
    std::string flags = "ACK GTS 0", colours = "ACK GRGB 0";
    for (int channel = 1; channel <= 16; ++channel) {
      const auto flag = [&](int k) { return file[static_cast<size_t>(3 * channel + k)] != 0; };
      const auto effective = [&](int k) {
        return flag(k) ? static_cast<unsigned char>(file[static_cast<size_t>(51 + 3 * channel + k)]) : 0;
      };
      const std::string ch = "CH" + std::to_string(channel);
      flags += " " + ch + "R=" + std::to_string(flag(0)) + " " + ch + "G=" + std::to_string(flag(1)) + " " + ch +
               "B=" + std::to_string(flag(2)) + " " + ch + "SC=0";
      colours += " " + ch + " " + std::to_string(effective(0)) + " " + std::to_string(effective(1)) + " " +
                 std::to_string(effective(2));
    }
    EXPECT_EQ(ask("GTS 0\r"), flags + "\r");
    EXPECT_EQ(ask("GRGB 0\r"), colours + "\r");
  }

  int socket_ = -1;
  sockaddr_in daemon_{};
};

TEST_F(Soak, EveryDatagramIsAnsweredOnceInOrderAndNothingLeaksOrIsLost) {
  constexpr size_t count = 100000;
  Traffic traffic;

  // Warm-up: every kind of request once, so that lazily made state (the log
  // connection, the mailbox mapping, buffers of the C library) exists.
  std::vector<Item> warm_up = traffic.every_kind();
  for (int i = 0; i < 2000; ++i) warm_up.push_back(traffic.next());
  warm_up.push_back(traffic.identify(false));
  ASSERT_TRUE(exchange(warm_up));

  const pid_t pid = box->daemon_pid();
  ASSERT_GT(pid, 0);
  const Footprint before = footprint(pid);
  const std::map<std::string, long> counters_before = udp_counters(pid);

  std::vector<Item> items;
  items.reserve(count + 1);
  for (size_t i = 0; i < count; ++i) items.push_back(traffic.next());
  items.push_back(traffic.identify(false));  // no blink holds an LED file at the end
  const auto started = Clock::now();
  ASSERT_TRUE(exchange(items));
  const auto seconds = std::chrono::duration<double>(Clock::now() - started).count();
  std::printf("soak: %zu datagrams in %.1f s (%.0f per second)\n", items.size(), seconds,
              static_cast<double>(items.size()) / seconds);

  // Every datagram reached the daemon: none was dropped on the way in.
  std::map<std::string, long> counters = udp_counters(pid);
  EXPECT_EQ(counters["RcvbufErrors"], counters_before.at("RcvbufErrors"));
  EXPECT_EQ(counters["InErrors"], counters_before.at("InErrors"));
  EXPECT_GE(counters["InDatagrams"] - counters_before.at("InDatagrams"), static_cast<long>(items.size()));

  ASSERT_EQ(box->daemon_pid(), pid) << "the daemon ended";
  const Footprint after = footprint(pid);
  EXPECT_EQ(after.descriptors, before.descriptors);
  std::printf("soak: resident memory %ld KiB before, %ld KiB after\n", before.rss_kib, after.rss_kib);
  if (!kSanitizerMemory) {
    EXPECT_LE(after.rss_kib - before.rss_kib, 64) << "resident memory grew from " << before.rss_kib << " KiB";
  }

  // The settings files are whole and hold the last values set.
  for (unsigned param = 0; param < 15; ++param) {
    const std::string path = sim::dsp_param_path(param);
    if (!traffic.stored[param]) {
      EXPECT_FALSE(box->exists(path)) << path;
      continue;
    }
    const uint16_t value = static_cast<uint16_t>(traffic.param[param]);
    EXPECT_EQ(box->read_file(path), std::string({static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)}))
        << path;
  }
  std::string colours;
  for (const int byte : traffic.colours) colours += static_cast<char>(byte);
  if (traffic.colours_saved) {
    EXPECT_EQ(box->read_file(kNullColourPath), colours);
  }
  if (traffic.leds_saved) expect_led_file_matches_reports();

  // The log holds exactly the messages defined for what was sent, in order.
  const auto log_deadline = Clock::now() + 30s;
  while (box->log().size() < traffic.log.size() && Clock::now() < log_deadline) std::this_thread::sleep_for(20ms);
  std::this_thread::sleep_for(100ms);
  const std::vector<std::string> logged = messages();
  ASSERT_EQ(logged.size(), traffic.log.size());
  for (size_t i = 0; i < logged.size(); ++i) {
    ASSERT_EQ(logged[i], traffic.log[i]) << "log line " << i;
  }
}

}  // namespace
