// The DSP mailbox in physical memory: mapping, the request/answer handshake
// and read-back verification. The window, the words, the parameters and the
// value encodings are the platform's: protocol/dsp_mailbox.h.
#pragma once

#include "daemon/server/result.h"
#include "protocol/dsp_mailbox.h"

// Both map the window from /dev/mem at their first use (-errno when that
// fails; the next access tries again) and fail with kResultLogged on a DSP error or
// time-out (logged).
//
// Reads a parameter and decodes it into *out (untouched on failure).
int dsp_get(unsigned param, std::uint16_t* out);
// Encodes and writes a parameter, then reads it back: 0 when verified,
// kResultLogged when the read-back differs, otherwise the failure of the access.
int dsp_set(unsigned param, int value);
