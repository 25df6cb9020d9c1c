// Find: VERSION to broadcast addresses and address ranges, replies collected
// for a window.

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
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

// Keeps the appliances sorted by address, each once.
void appliance_add(Found* found, uint32_t address, const char* version) {
  int at = found->count;
  while (at > 0 && found->list[at - 1].address > address) --at;
  if (at > 0 && found->list[at - 1].address == address) return;
  if (found->count == found->room) {
    const int room = found->room == 0 ? 64 : found->room * 2;
    Appliance* grown = static_cast<Appliance*>(
        realloc(found->list, static_cast<size_t>(room) * sizeof *found->list));
    if (grown == nullptr) return;
    found->list = grown;
    found->room = room;
  }
  for (int i = found->count++; i > at; --i) found->list[i] = found->list[i - 1];
  found->list[at] = Appliance{address, strdup(version)};
}

// Takes in every reply that has arrived from the port.
void replies_drain(int fd, uint16_t port, Found* found) {
  char reply[orvo::kBufferSize];
  for (;;) {
    sockaddr_in from;
    socklen_t from_length = sizeof from;
    const ssize_t got = recvfrom(fd, reply, orvo::kMaxDatagram, 0,
                                 reinterpret_cast<sockaddr*>(&from), &from_length);
    if (got < 0) return;
    reply[got] = '\0';
    if (from.sin_port != port) continue;
    const char* version = find_reply_version(reply);
    if (version != nullptr) appliance_add(found, ntohl(from.sin_addr.s_addr), version);
  }
}

// Waits until the deadline (or for room to send, when sending), taking in replies.
void replies_wait(int fd, uint16_t port, Found* found, long long deadline, bool sending) {
  for (;;) {
    const long long left = deadline - clock_ms();
    if (left <= 0) return;
    pollfd ready{fd, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
    poll(&ready, 1, static_cast<int>(left));
    if (ready.revents & POLLIN) replies_drain(fd, port, found);
    if (sending && (ready.revents & POLLOUT)) return;
  }
}

// VERSION to every address of every target, port in network byte order; of
// a range, every address but its network and broadcast addresses (all of it
// for 31 and 32 bits). Sending ends by the deadline: what the first round
// could not send by then, or at all, leaves its target not searched whole
// (send_error); the second round (again) only tries.
void targets_send(int fd, uint16_t port, Found* found, FindTarget* targets, int count, bool again,
                  long long deadline) {
  for (int t = 0; t < count; ++t) {
    FindTarget* target = &targets[t];
    uint64_t first = target->range.first, last = target->range.last;
    if (last - first >= 3) {
      ++first;
      --last;
    }
    int error = 0;
    for (uint64_t host = first; host <= last && error == 0; ++host) {
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = port;
      to.sin_addr.s_addr = htonl(static_cast<uint32_t>(host));
      // The time is looked at every 256 addresses and while the send buffer
      // is full: datagrams to addresses of the local subnet that nobody holds
      // wait there until the address resolution gives up.
      for (bool full = false;; full = true) {
        if ((full || (host & 0xFF) == 0) && clock_ms() >= deadline) {
          error = ETIMEDOUT;
          break;
        }
        if (sendto(fd, kRequest, sizeof kRequest - 1, 0, reinterpret_cast<sockaddr*>(&to),
                   sizeof to) >= 0)
          break;
        error = errno;
        if (error != EAGAIN && error != ENOBUFS) break;
        error = 0;
        replies_wait(fd, port, found, deadline, true);
      }
    }
    if (!again) target->send_error = error;
    replies_drain(fd, port, found);
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

int appliances_find(FindTarget* targets, int count, const Timing& timing, uint16_t port,
                    Found* found) {
  *found = Found{};
  port = htons(port);
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  // Room for many requests and replies at once, as far as the system allows.
  const int on = 1, buffer = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);

  // Every address gets its request again halfway through the window, so
  // that one lost datagram does not hide an appliance. Each round of sends
  // has half the window at most.
  const int half = timing.window_ms / 2;
  targets_send(fd, port, found, targets, count, false, clock_ms() + half);
  replies_wait(fd, port, found, clock_ms() + half, false);
  targets_send(fd, port, found, targets, count, true, clock_ms() + half);
  replies_wait(fd, port, found, clock_ms() + timing.window_ms - half, false);
  close(fd);
  return 0;
}

void appliances_free(Found* found) {
  for (int i = 0; i < found->count; ++i) free(found->list[i].version);
  free(found->list);
}
