// The table of command keywords and their handlers, and the results every
// function of the daemon returns.
//
// Results: 0 for success; a negative errno for a failure (-22, EINVAL, for a
// wrong argument count or a bad argument; -110, ETIMEDOUT, for a microphone
// test that has not finished; -errno of a failed system call); -1 for a
// settings file that could not be written; 1 for a failure that the failing
// layer has already logged (DSP error or time-out, failed verification). Callers pass failures up
// unchanged, and the request loop answers any non-zero result of a handler with NACK. Functions
// whose result nobody needs return nothing.
#pragma once

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
