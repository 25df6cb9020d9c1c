// -a: a file of commands to many appliances at once.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "client/exchange.h"
#include "client/fleet.h"
#include "protocol/protocol.h"

namespace {

// The whole of a file, NUL-terminated, or nullptr.
char* file_read(int fd) {
  size_t size = 0, room = 4096;
  char* text = static_cast<char*>(malloc(room));
  while (text != nullptr) {
    const ssize_t got = read(fd, text + size, room - size - 1);
    if (got < 0) break;
    if (got == 0) {
      text[size] = '\0';
      return text;
    }
    size += static_cast<size_t>(got);
    if (size + 1 == room) {
      char* grown = static_cast<char*>(realloc(text, room *= 2));
      if (grown == nullptr) break;
      text = grown;
    }
  }
  free(text);
  return nullptr;
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

}  // namespace

int fleet_apply(const char* file, char** hosts, int count, const FleetTiming& timing) {
  const bool standard_input = strcmp(file, "-") == 0;
  const int fd = standard_input ? 0 : open(file, O_RDONLY | O_CLOEXEC);
  char* text = fd >= 0 ? file_read(fd) : nullptr;
  if (text == nullptr) {
    fprintf(stderr, "cannot read '%s': %s\n", file, strerror(errno));
    return kFleetUsage;
  }
  if (!standard_input) close(fd);

  // The commands: every line but blank ones and comments, without the
  // blanks around it; and the number of each in the file.
  int line_count = 0, room = 0, number = 0;
  char** lines = nullptr;
  int* numbers = nullptr;
  for (char* line = text; line != nullptr;) {
    char* next = strchr(line, '\n');
    if (next != nullptr) *next++ = '\0';
    ++number;
    size_t length = strlen(line);
    while (length > 0 && blank(line[length - 1])) line[--length] = '\0';
    while (blank(*line)) ++line, --length;
    if (length > 0 && *line != '#') {
      if (length > orvo::kMaxDatagram - 2) {
        fprintf(stderr, "%s:%d: line too long (at most %zu bytes)\n", file, number,
                orvo::kMaxDatagram - 2);
        return kFleetUsage;
      }
      if (line_count == room) {
        room = room == 0 ? 64 : room * 2;
        lines = static_cast<char**>(realloc(lines, static_cast<size_t>(room) * sizeof *lines));
        numbers = static_cast<int*>(realloc(numbers, static_cast<size_t>(room) * sizeof *numbers));
        if (lines == nullptr || numbers == nullptr) return kFleetFailed;
      }
      lines[line_count] = line;
      numbers[line_count++] = number;
    }
    line = next;
  }

  Peer* peers = static_cast<Peer*>(calloc(static_cast<size_t>(count), sizeof(Peer)));
  if (peers == nullptr) return kFleetFailed;
  for (int i = 0; i < count; ++i) {
    if (!fleet_resolve(hosts[i], &peers[i].address)) return kFleetUsage;
    peers[i].lines = lines;
    peers[i].line_count = line_count;
  }
  exchange_run(peers, count, timing);

  int status = kFleetOk;
  for (int i = 0; i < count; ++i) {
    const Peer& peer = peers[i];
    if (peer.outcome == kPeerDone) {
      printf("%s done\n", hosts[i]);
      continue;
    }
    status = kFleetFailed;
    const int at = numbers[peer.line];
    const char* line = lines[peer.line];
    if (peer.outcome == kPeerRefused) {
      printf("%s refused line %d: %s\n", hosts[i], at, line);
    } else if (peer.outcome == kPeerSilent) {
      printf("%s no answer to line %d: %s\n", hosts[i], at, line);
    } else {
      printf("%s failed at line %d: %s (%s)\n", hosts[i], at, line, strerror(peer.error));
    }
  }
  free(peers);
  free(lines);
  free(numbers);
  free(text);
  return fleet_printed("report") ? status : kFleetFailed;
}
