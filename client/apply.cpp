// -a: a file of commands to many appliances at once.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "client/exchange.h"
#include "client/fleet.h"
#include "client/parse.h"
#include "protocol/protocol.h"

namespace {

// The whole of a file, NUL-terminated, and its size; or nullptr.
char* file_read(int fd, size_t* length) {
  size_t size = 0, room = 4096;
  char* text = static_cast<char*>(malloc(room));
  while (text != nullptr) {
    const ssize_t got = read(fd, text + size, room - size - 1);
    if (got < 0) break;
    if (got == 0) {
      text[size] = '\0';
      *length = size;
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

[[gnu::always_inline]] inline bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// commands_take, inlined where the client uses it: as a function of its own
// (for the fuzz target) it would cost the client bytes it does not have.
[[gnu::always_inline]] inline int commands_split(char* text, size_t size, const char* file,
                                                 Commands* commands, FILE* errors) {
  // Room for a command on every line.
  size_t room = 1;
  for (size_t i = 0; i < size; ++i) room += text[i] == '\n';
  commands->lines = static_cast<char**>(malloc(room * sizeof(char*)));
  commands->numbers = static_cast<int*>(malloc(room * sizeof(int)));
  if (commands->lines == nullptr || commands->numbers == nullptr) return kFleetFailed;
  int number = 0;
  for (char *line = text, *const end = text + size; line < end;) {
    char* next = line;
    while (next < end && *next != '\n') ++next;
    *next = '\0';
    ++number;
    size_t length = static_cast<size_t>(next - line);
    // A NUL would end the line early: the rest of it would be lost unseen.
    if (strlen(line) != length) {
      fprintf(errors, "%s:%d: NUL byte (not a text file)\n", file, number);
      return kFleetUsage;
    }
    while (length > 0 && blank(line[length - 1])) line[--length] = '\0';
    while (blank(*line)) ++line, --length;
    if (length > 0 && *line != '#') {
      if (length > orvo::kMaxDatagram - 2) {
        fprintf(errors, "%s:%d: line too long (at most %zu bytes)\n", file, number,
                orvo::kMaxDatagram - 2);
        return kFleetUsage;
      }
      commands->lines[commands->count] = line;
      commands->numbers[commands->count++] = number;
    }
    line = next + 1;
  }
  return kFleetOk;
}

// Sends the commands to every host and prints how far each got.
int commands_send(const Commands& commands, char** hosts, int count, const FleetTiming& timing) {
  Peer* peers = static_cast<Peer*>(malloc(static_cast<size_t>(count) * sizeof(Peer)));
  if (peers == nullptr) return kFleetFailed;
  memset(peers, 0, static_cast<size_t>(count) * sizeof(Peer));
  for (int i = 0; i < count; ++i) {
    if (!fleet_resolve(hosts[i], &peers[i].address)) {
      free(peers);
      return kFleetUsage;
    }
    peers[i].lines = commands.lines;
    peers[i].line_count = commands.count;
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
    const int at = commands.numbers[peer.line];
    const char* line = commands.lines[peer.line];
    if (peer.outcome == kPeerRefused) {
      printf("%s refused line %d: %s\n", hosts[i], at, line);
    } else if (peer.outcome == kPeerSilent) {
      printf("%s no answer to line %d: %s\n", hosts[i], at, line);
    } else {
      printf("%s failed at line %d: %s (%s)\n", hosts[i], at, line, strerror(peer.error));
    }
  }
  free(peers);
  return fleet_printed("report") ? status : kFleetFailed;
}

}  // namespace

int commands_take(char* text, size_t size, const char* file, Commands* commands, FILE* errors) {
  return commands_split(text, size, file, commands, errors);
}

int fleet_apply(const char* file, char** hosts, int count, const FleetTiming& timing) {
  const bool standard_input = file[0] == '-' && file[1] == '\0';
  const int fd = standard_input ? 0 : open(file, O_RDONLY | O_CLOEXEC);
  size_t size = 0;
  char* text = fd >= 0 ? file_read(fd, &size) : nullptr;
  if (text == nullptr) {
    fprintf(stderr, "cannot read '%s': %s\n", file, strerror(errno));
    if (fd > 0) close(fd);
    return kFleetUsage;
  }
  if (!standard_input) close(fd);
  Commands commands{};
  int status = commands_split(text, size, file, &commands, stderr);
  if (status == kFleetOk) status = commands_send(commands, hosts, count, timing);
  free(commands.lines);
  free(commands.numbers);
  free(text);
  return status;
}
