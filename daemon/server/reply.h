// How a handler answers: it builds its acknowledgement in reply_buffer with
// reply_format and returns 0; the request loop sends it (or, when the
// handler failed, the NACK), one reply per request.
#pragma once

#include <cstddef>

#include "protocol/protocol.h"

// Where handlers and the NACK path build the reply text.
extern char reply_buffer[orvo::kBufferSize];

// Formats into reply_buffer from offset at on, never beyond the buffer's end
// (a longer text is cut at 2047 characters), and returns the offset of the
// terminating NUL, where the next piece goes. Knows %d, %u, %s and %% only:
// replies are built on every request, and this is much cheaper than printf.
__attribute__((format(printf, 2, 3))) std::size_t reply_format(std::size_t at, const char* format,
                                                               ...);
