// -f: VERSION to broadcast addresses and address ranges, replies collected
// for a window.

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "client/fleet.h"
#include "client/parse.h"
#include "protocol/protocol.h"

namespace {

constexpr const char kRequest[] = "VERSION\r";
constexpr const char kAck[] = "ACK VERSION ";
constexpr const char kNack[] = "NACK VERSION\r";
constexpr int kSmallestPrefix = 16;

struct Target {
  uint32_t first;  // host byte order
  uint32_t last;
  const char* text;
  bool failed;  // a send failed; the rest of the target is skipped
};

// The appliances found so far, sorted by address.
struct Found {
  FleetAppliance* list;
  int count;
  int room;
};

// "A.B.C.D", or "A.B.C.D/BITS" for every host address of that range (all of
// it for 31 and 32 bits, else without the network and broadcast addresses).
bool target_parse(const char* text, Target* target) {
  char address_text[INET_ADDRSTRLEN];
  const char* slash = strchr(text, '/');
  const size_t length = slash != nullptr ? static_cast<size_t>(slash - text) : strlen(text);
  in_addr address;
  if (length >= sizeof address_text) return false;
  memcpy(address_text, text, length);
  address_text[length] = '\0';
  if (inet_pton(AF_INET, address_text, &address) != 1) return false;
  const uint32_t host = ntohl(address.s_addr);
  target->text = text;
  target->failed = false;
  if (slash == nullptr) {
    target->first = target->last = host;
    return true;
  }
  char* end;
  const long bits = strtol(slash + 1, &end, 10);
  if (end == slash + 1 || *end != '\0' || bits < kSmallestPrefix || bits > 32) return false;
  const uint32_t mask = bits == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> bits);
  target->first = host & mask;
  target->last = host | ~mask;
  if (bits <= 30) {
    ++target->first;
    --target->last;
  }
  return true;
}

// Keeps the appliances sorted by address, each once.
void appliance_add(Found* found, uint32_t address, const char* version) {
  int at = found->count;
  while (at > 0 && found->list[at - 1].address > address) --at;
  if (at > 0 && found->list[at - 1].address == address) return;
  if (found->count == found->room) {
    const int room = found->room == 0 ? 64 : found->room * 2;
    FleetAppliance* grown = static_cast<FleetAppliance*>(
        realloc(found->list, static_cast<size_t>(room) * sizeof *found->list));
    if (grown == nullptr) return;
    found->list = grown;
    found->room = room;
  }
  for (int i = found->count++; i > at; --i) found->list[i] = found->list[i - 1];
  found->list[at] = FleetAppliance{address, strdup(version)};
}

// Takes in every reply that has arrived.
void replies_drain(int fd, Found* found) {
  char reply[orvo::kBufferSize];
  for (;;) {
    sockaddr_in from;
    socklen_t from_length = sizeof from;
    const ssize_t got = recvfrom(fd, reply, orvo::kMaxDatagram, 0,
                                 reinterpret_cast<sockaddr*>(&from), &from_length);
    if (got < 0) return;
    reply[got] = '\0';
    if (from.sin_port != htons(orvo::kControlPort)) continue;
    const char* version = find_reply_version(reply);
    if (version != nullptr) appliance_add(found, ntohl(from.sin_addr.s_addr), version);
  }
}

// Waits until the deadline (or for room to send, when sending), taking in replies.
void replies_wait(int fd, Found* found, long long deadline, bool sending) {
  for (;;) {
    const long long left = deadline - fleet_now_ms();
    if (left <= 0) return;
    pollfd ready{fd, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
    poll(&ready, 1, static_cast<int>(left));
    if (ready.revents & POLLIN) replies_drain(fd, found);
    if (sending && (ready.revents & POLLOUT)) return;
  }
}

// One VERSION to every address of every target (of single addresses only,
// with ranges false).
void targets_send(int fd, Found* found, Target* targets, int count, bool ranges) {
  for (int t = 0; t < count; ++t) {
    Target* target = &targets[t];
    if (!ranges && target->first != target->last) continue;
    for (uint64_t host = target->first; host <= target->last && !target->failed; ++host) {
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(orvo::kControlPort);
      to.sin_addr.s_addr = htonl(static_cast<uint32_t>(host));
      for (int tries = 0;; ++tries) {
        if (sendto(fd, kRequest, sizeof kRequest - 1, 0, reinterpret_cast<sockaddr*>(&to),
                   sizeof to) >= 0)
          break;
        // A full send buffer: datagrams to addresses of the local subnet that
        // nobody holds wait there until the address resolution gives up.
        if ((errno != EAGAIN && errno != ENOBUFS) || tries == 50) {
          fprintf(stderr, "sendto %s failed (%s)\n", target->text, strerror(errno));
          target->failed = true;
          break;
        }
        replies_wait(fd, found, fleet_now_ms() + 100, true);
      }
    }
    replies_drain(fd, found);
  }
}

}  // namespace

const char* find_reply_version(char* reply) {
  // (strlen and memcmp: each further function of the C library costs the
  // client size.)
  const size_t length = strlen(reply);
  if (length == sizeof kNack - 1 && memcmp(reply, kNack, length) == 0) return "-";
  if (length < sizeof kAck - 1 || memcmp(reply, kAck, sizeof kAck - 1) != 0) return nullptr;
  char* version = reply + sizeof kAck - 1;
  char* end = strchr(version, orvo::kTerminator);
  if (end != nullptr) *end = '\0';
  for (char* c = version; *c != '\0'; ++c) {
    if (static_cast<unsigned char>(*c) < ' ') *c = ' ';
  }
  return version;
}

int fleet_discover(char** texts, int count, const FleetTiming& timing, FleetAppliance** list,
                   int* list_count) {
  static char broadcast[] = "255.255.255.255";
  char* fallback[] = {broadcast};
  *list = nullptr;
  *list_count = 0;
  if (count == 0) {
    texts = fallback;
    count = 1;
  }
  Target* targets = static_cast<Target*>(malloc(static_cast<size_t>(count) * sizeof(Target)));
  if (targets == nullptr) return kFleetFailed;
  for (int i = 0; i < count; ++i) {
    if (!target_parse(texts[i], &targets[i])) {
      fprintf(stderr, "not an address or range (A.B.C.D or A.B.C.D/%d..32): '%s'\n",
              kSmallestPrefix, texts[i]);
      free(targets);
      return kFleetUsage;
    }
  }
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    fprintf(stderr, "socket failed: %s\n", strerror(errno));
    free(targets);
    return kFleetFailed;
  }
  // Room for many requests and replies at once, as far as the system allows.
  const int on = 1, buffer = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);

  // Single (broadcast) addresses get their request again halfway through the
  // window, so that one lost datagram does not hide every appliance.
  Found found{};
  const int half = timing.window_ms / 2;
  targets_send(fd, &found, targets, count, true);
  replies_wait(fd, &found, fleet_now_ms() + half, false);
  targets_send(fd, &found, targets, count, false);
  replies_wait(fd, &found, fleet_now_ms() + timing.window_ms - half, false);
  close(fd);
  free(targets);
  *list = found.list;
  *list_count = found.count;
  return kFleetOk;
}

void fleet_appliances_free(FleetAppliance* list, int count) {
  for (int i = 0; i < count; ++i) free(list[i].version);
  free(list);
}

int fleet_find(char** texts, int count, const FleetTiming& timing) {
  FleetAppliance* found;
  int found_count;
  const int status = fleet_discover(texts, count, timing, &found, &found_count);
  if (status != kFleetOk) return status;
  for (int i = 0; i < found_count; ++i) {
    const uint32_t a = found[i].address;
    printf("%u.%u.%u.%u %s\n", a >> 24, a >> 16 & 0xFF, a >> 8 & 0xFF, a & 0xFF,
           found[i].version != nullptr ? found[i].version : "");
  }
  fleet_appliances_free(found, found_count);
  return fleet_printed("list") && found_count > 0 ? kFleetOk : kFleetFailed;
}
