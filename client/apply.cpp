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

// The whole of a file, NUL-terminated, and its size; or nullptr.
char* file_read(int fd, size_t* size) {
  size_t room = 4096;
  *size = 0;
  char* text = static_cast<char*>(malloc(room));
  while (text != nullptr) {
    const ssize_t got = read(fd, text + *size, room - *size - 1);
    if (got < 0) break;
    if (got == 0) {
      text[*size] = '\0';
      return text;
    }
    *size += static_cast<size_t>(got);
    if (*size + 1 == room) {
      char* grown = static_cast<char*>(realloc(text, room *= 2));
      if (grown == nullptr) break;
      text = grown;
    }
  }
  free(text);
  return nullptr;
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Splits the text of size bytes (in place) into commands: kFleetOk, or why
// not (for kFleetUsage also in errors). The whole text is checked before a
// caller sends any of it.
int commands_take(char* text, size_t size, const char* file, FleetCommands* commands,
                  FILE* errors) {
  int number = 0;
  for (char *line = text, *const end = text + size; line < end;) {
    char* next = static_cast<char*>(memchr(line, '\n', static_cast<size_t>(end - line)));
    if (next == nullptr) next = end;
    *next = '\0';
    ++number;
    size_t length = static_cast<size_t>(next - line);
    // A NUL would end the line early: the rest of it would be lost unseen.
    if (memchr(line, '\0', length) != nullptr) {
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
      if (commands->count == commands->room) {
        const size_t room = commands->room == 0 ? 64 : 2 * static_cast<size_t>(commands->room);
        char** lines = static_cast<char**>(realloc(commands->lines, room * sizeof(char*)));
        if (lines != nullptr) commands->lines = lines;
        int* numbers = static_cast<int*>(realloc(commands->numbers, room * sizeof(int)));
        if (numbers != nullptr) commands->numbers = numbers;
        if (lines == nullptr || numbers == nullptr) return kFleetFailed;
        commands->room = static_cast<int>(room);
      }
      commands->lines[commands->count] = line;
      commands->numbers[commands->count++] = number;
    }
    line = next + 1;
  }
  return kFleetOk;
}

// Sends the commands to every host and prints how far each got.
int commands_send(const FleetCommands& commands, char** hosts, int count,
                  const FleetTiming& timing) {
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

int fleet_commands_read(int fd, const char* file, FleetCommands* commands, FILE* errors) {
  *commands = FleetCommands{};
  size_t size = 0;
  commands->text = fd >= 0 ? file_read(fd, &size) : nullptr;
  int status = kFleetUsage;
  if (commands->text == nullptr) {
    fprintf(errors, "cannot read '%s': %s\n", file, strerror(errno));
  } else {
    status = commands_take(commands->text, size, file, commands, errors);
  }
  if (status != kFleetOk) fleet_commands_free(commands);
  return status;
}

void fleet_commands_free(FleetCommands* commands) {
  free(commands->lines);
  free(commands->numbers);
  free(commands->text);
  *commands = FleetCommands{};
}

int fleet_apply(const char* file, char** hosts, int count, const FleetTiming& timing) {
  const bool standard_input = strcmp(file, "-") == 0;
  const int fd = standard_input ? 0 : open(file, O_RDONLY | O_CLOEXEC);
  FleetCommands commands;
  int status = fleet_commands_read(fd, file, &commands, stderr);
  if (fd > 0) close(fd);
  if (status == kFleetOk) status = commands_send(commands, hosts, count, timing);
  fleet_commands_free(&commands);
  return status;
}
