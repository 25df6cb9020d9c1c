// orvo-udpc: sends one command to the daemon and prints the one reply.

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "protocol/protocol.h"

namespace {

constexpr int kReplyTimeoutSeconds = 12;
constexpr int kUsageStatus = 2;

char buffer[orvo::kBufferSize];

// Joins the words with single spaces and ends the line with CR. The length
// of the request, or 0 when it does not fit.
size_t request_build(int count, char** words) {
  size_t used = 0;
  for (int i = 0; i < count; ++i) {
    const size_t room = orvo::kMaxDatagram - used;
    const int length = snprintf(buffer + used, room, "%s ", words[i]);
    if (length < 0 || static_cast<size_t>(length) >= room) {
      return 0;
    }
    used += static_cast<size_t>(length);
  }
  buffer[used - 1] = orvo::kTerminator;
  return used;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fputs("usage: orvo-udpc HOST WORD [WORD ...]\n"
          "sends one command to the appliance at HOST and prints its reply\n",
          stderr);
    return kUsageStatus;
  }
  const size_t length = request_build(argc - 2, argv + 2);
  if (length == 0) {
    fprintf(stderr, "request too long (at most %zu bytes)\n", orvo::kMaxDatagram - 1);
    return kUsageStatus;
  }
  const hostent* host = gethostbyname(argv[1]);
  if (host == nullptr || host->h_addrtype != AF_INET || host->h_addr_list[0] == nullptr) {
    fprintf(stderr, "cannot resolve host '%s'\n", argv[1]);
    return kUsageStatus;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(orvo::kControlPort);
  memcpy(&address.sin_addr, host->h_addr_list[0], sizeof address.sin_addr);

  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    const int error = errno;
    fprintf(stderr, "socket failed: %s\n", strerror(error));
    return -error;
  }
  const ssize_t sent =
      sendto(fd, buffer, length, 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  if (sent < 0) {
    const int error = errno;
    fprintf(stderr, "sendto failed (%s)\n", strerror(error));
    return -error;
  }
  if (static_cast<size_t>(sent) != length) {
    fputs("short write on udp socket\n", stderr);
    return 1;
  }
  const timeval timeout{kReplyTimeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

  const ssize_t received = recvfrom(fd, buffer, orvo::kMaxDatagram, 0, nullptr, nullptr);
  if (received < 0) {
    const int error = errno;
    fprintf(stderr, "recvfrom failed (%s)\n", strerror(error));
    return -error;
  }
  buffer[received] = '\0';
  char* end = strchr(buffer, orvo::kTerminator);
  if (end != nullptr) {
    *end = '\0';
  }
  // A reply that could not be printed (a full disk, a closed pipe) is a
  // failure like any other: the caller must not take the command as done.
  signal(SIGPIPE, SIG_IGN);
  errno = 0;
  if (puts(buffer) == EOF || fflush(stdout) == EOF) {
    const int error = errno != 0 ? errno : EIO;
    fprintf(stderr, "cannot print the reply (%s)\n", strerror(error));
    return -error;
  }
  return 0;
}
