// commands_take (client/parse.h), inlined where orvo-udpc uses it: as a
// function of its own it costs the client bytes that it does not have.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "client/fleet.h"
#include "client/parse.h"
#include "protocol/protocol.h"

[[gnu::always_inline]] inline bool command_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

[[gnu::always_inline]] inline int commands_split(char* text, size_t size, Commands* commands,
                                                 Failure* failure) {
  // Room for a command on every line.
  size_t room = 1;
  for (size_t i = 0; i < size; ++i) room += text[i] == '\n';
  commands->lines = static_cast<char**>(malloc(room * sizeof(char*)));
  commands->numbers = static_cast<int*>(malloc(room * sizeof(int)));
  if (commands->lines == nullptr || commands->numbers == nullptr) {
    *failure = Failure{0, "out of memory"};
    return kStatusFailed;
  }
  int number = 0;
  for (char *line = text, *const end = text + size; line < end;) {
    char* next = line;
    while (next < end && *next != '\n') ++next;
    *next = '\0';
    ++number;
    size_t length = static_cast<size_t>(next - line);
    // A NUL would end the line early: the rest of it would be lost unseen.
    if (strlen(line) != length) {
      *failure = Failure{number, "NUL byte (not a text file)"};
      return kStatusUsage;
    }
    while (length > 0 && command_blank(line[length - 1])) line[--length] = '\0';
    while (command_blank(*line)) ++line, --length;
    if (length > 0 && *line != '#') {
      if (length > orvo::kMaxDatagram - 2) {
        static_assert(orvo::kMaxDatagram - 2 == 2045);
        *failure = Failure{number, "line too long (at most 2045 bytes)"};
        return kStatusUsage;
      }
      commands->lines[commands->count] = line;
      commands->numbers[commands->count++] = number;
    }
    line = next + 1;
  }
  return kStatusOk;
}
