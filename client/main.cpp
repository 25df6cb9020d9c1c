// orvo-udpc: sends one command to the daemon and prints the one reply; with
// an option before the host, finds appliances, reads one's settings as a file
// of commands, or sends such a file to many (client/front.h).

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "client/front.h"
#include "protocol/protocol.h"

namespace {

constexpr int kReplyTimeoutMs = 12000;      // of the one command
constexpr int kFleetReplyTimeoutMs = 1000;  // of each line, before it is sent again
constexpr int kFleetResends = 3;
constexpr int kFindWindowMs = 1000;
constexpr int kUsageStatus = 2;

constexpr const char kUsage[] =
    "usage: orvo-udpc [-t SECONDS] HOST WORD [WORD ...]\n"
    "       orvo-udpc -f [-w SECONDS] [ADDRESS | ADDRESS/BITS ...]\n"
    "       orvo-udpc -s [-t SECONDS] [-r COUNT] HOST\n"
    "       orvo-udpc -a FILE [-t SECONDS] [-r COUNT] HOST [HOST ...]\n"
    "sends one command to the appliance at HOST and prints its reply;\n"
    "-f finds appliances, -s prints one's settings as commands, -a sends a file of\n"
    "commands to many (see orvo-udpc(1))\n";

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

// The one-shot form: HOST WORD [WORD ...] in words[0..count).
int command_send(int count, char** words, int timeout_ms) {
  if (count < 2) {
    fputs(kUsage, stderr);
    return kUsageStatus;
  }
  const size_t length = request_build(count - 1, words + 1);
  if (length == 0) {
    fprintf(stderr, "request too long (at most %zu bytes)\n", orvo::kMaxDatagram - 1);
    return kUsageStatus;
  }
  sockaddr_in address;
  if (!host_resolved(words[0], &address)) {
    return kUsageStatus;
  }

  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return failure_said("socket failed: %s\n", errno);
  const ssize_t sent =
      sendto(fd, buffer, length, 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  if (sent < 0) return failure_said("sendto failed (%s)\n", errno);
  if (static_cast<size_t>(sent) != length) {
    fputs("short write on udp socket\n", stderr);
    return 1;
  }
  // The time-out in seconds and microseconds, without a division: at -Os g++
  // makes even this one a call of the runtime's division routine, whose 660
  // bytes would take the client past 16 KiB.
  timeval timeout{0, 0};
  int ms = timeout_ms;
  for (; ms >= 1000; ms -= 1000) ++timeout.tv_sec;
  timeout.tv_usec = ms * 1000;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

  const ssize_t received = recvfrom(fd, buffer, orvo::kMaxDatagram, 0, nullptr, nullptr);
  if (received < 0) return failure_said("recvfrom failed (%s)\n", errno);
  buffer[received] = '\0';
  char* end = strchr(buffer, orvo::kTerminator);
  if (end != nullptr) {
    *end = '\0';
  }
  // A reply that could not be printed (a full disk, a closed pipe) is a
  // failure like any other: the caller must not take the command as done.
  errno = 0;
  if (puts(buffer) == EOF || fflush(stdout) == EOF) {
    return failure_said("cannot print the reply (%s)\n", errno != 0 ? errno : EIO);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  char mode = 0;
  const char* file = nullptr;
  int timeout_ms = -1;
  Timing timing{kFleetReplyTimeoutMs, kFleetResends, kFindWindowMs};
  // Options end at the host, which never begins with '-'; the words after it
  // may ("EQ 1 -3").
  for (int option; (option = getopt(argc, argv, "+fsa:t:r:w:h")) != -1;) {
    long count = 0;
    switch (option) {
      case 'a':
        file = optarg;
        [[fallthrough]];
      case 'f':
      case 's':
        if (mode != 0 && mode != option) {
          fputs("orvo-udpc: -f, -s and -a exclude one another\n", stderr);
          return kUsageStatus;
        }
        mode = static_cast<char>(option);
        break;
      case 't':
      case 'w':
        count = seconds_parse(optarg);
        if (count < 0) {
          fprintf(stderr, "orvo-udpc: not a time in seconds: '%s'\n", optarg);
          return kUsageStatus;
        }
        (option == 't' ? timeout_ms : timing.window_ms) = static_cast<int>(count);
        break;
      case 'r':
        if (!number_parse(optarg, 0, 100, &count)) {
          fprintf(stderr, "orvo-udpc: not a count from 0 to 100: '%s'\n", optarg);
          return kUsageStatus;
        }
        timing.resends = static_cast<int>(count);
        break;
      case 'h':
        fputs(kUsage, stdout);
        return 0;
      default:
        fputs(kUsage, stderr);
        return kUsageStatus;
    }
  }
  char** rest = argv + optind;
  const int rest_count = argc - optind;
  if (timeout_ms > 0) timing.reply_ms = timeout_ms;
  // Output that cannot be printed (a pipe nobody reads) is reported as a
  // failure, not a reason to die.
  signal(SIGPIPE, SIG_IGN);
  if (mode == 'f') return find_print(rest, rest_count, timing);
  if ((mode == 's' && rest_count != 1) || (mode == 'a' && rest_count < 1)) {
    fputs(kUsage, stderr);
    return kUsageStatus;
  }
  if (mode == 's') return snapshot_print(rest[0], timing);
  if (mode == 'a') return file_send(file, rest, rest_count, timing);
  return command_send(rest_count, rest, timeout_ms > 0 ? timeout_ms : kReplyTimeoutMs);
}
