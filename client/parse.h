// What the client reads from outside, as functions of their input alone: the
// commands of a settings file and the replies to find. (reply_match, in
// client/exchange.h, is the third.) The fuzz target runs them on any input.
#pragma once

#include <cstddef>

#include "client/fleet.h"

// The commands of a settings file: every line but blank ones and comments,
// without the blanks around it; and the number of each line in the file.
// The arrays are malloc'd; the caller frees them (the lines point into the
// text).
struct Commands {
  char** lines;
  int* numbers;
  int count;
};

// Splits the text of a file, size bytes and a NUL after them, in place into
// commands: kStatusOk; or, with the line and the reason in failure,
// kStatusUsage for a file that is not text (a NUL byte) or has a line too
// long for a request; kStatusFailed when out of memory.
int commands_take(char* text, std::size_t size, Commands* commands, Failure* failure);

// The version text of a reply to find's VERSION (a NUL-terminated datagram,
// edited in place: cut at its CR, control characters made spaces), "-" for
// a refusal, or nullptr when it is neither.
const char* find_reply_version(char* reply);
