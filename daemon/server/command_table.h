// The table of command keywords and their handlers.
#pragma once

#include <array>

// A handler gets the token count (keyword included) and the tokens. On
// success it sends its acknowledgement with send_reply and returns that
// result; on failure it returns non-zero without sending, and the request
// loop answers NACK.
using CommandHandler = int (*)(int argc, char** argv);

struct CommandEntry {
  const char* keyword;
  CommandHandler handler;
};

extern const std::array<CommandEntry, 21> command_table;

// The handler for an exact, case-sensitive keyword, or nullptr.
CommandHandler command_find(const char* keyword);
