// The DSP mailbox in physical memory: mapping, the request/answer handshake
// and read-back verification. The window, the words, the parameters and the
// value encodings are the platform's: protocol/dsp_mailbox.h.
#pragma once

#include "protocol/dsp_mailbox.h"

// Maps the window from /dev/mem. 0, or -errno (retried on the next access).
int dsp_map();
// Runs one handshake on the words already filled in: 0, 1 on a DSP error or
// time-out (logged), -errno when the window cannot be mapped.
int dsp_transfer();
// Reads a parameter and decodes it into *out (untouched on failure).
int dsp_get(unsigned param, std::uint16_t* out);
// Encodes and writes a parameter, then reads it back: 0 when verified, 1
// when the read-back differs (logged), otherwise the transfer's failure.
int dsp_set(unsigned param, int value);
