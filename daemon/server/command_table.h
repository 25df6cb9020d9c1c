// The table of command keywords and their handlers. The keywords are those
// of protocol/commands.h, in the same order (checked when it is compiled).
#pragma once

#include "daemon/server/result.h"

// A handler gets the token count (keyword included) and the tokens. On
// success it builds its acknowledgement in reply_buffer and returns 0; on
// failure it returns non-zero. The request loop sends the one reply: the
// acknowledgement, or NACK.
using CommandHandler = int (*)(int argc, char** argv);

struct CommandEntry {
  const char* keyword;
  CommandHandler handler;
};

// The handler for an exact, case-sensitive keyword, or nullptr.
CommandHandler command_find(const char* keyword);
