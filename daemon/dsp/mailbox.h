// The DSP mailbox in physical memory: mapping, the request/answer handshake,
// the value encodings and read-back verification.
#pragma once

#include <cstdint>

// Five 16-bit words at the start of the mapped window, little-endian.
struct DspMailbox {
  std::uint16_t busy;       // 0xFFFF starts a request; the DSP clears it when done
  std::uint16_t direction;  // 0 read, 1 write
  std::uint16_t param;      // parameter number
  std::uint16_t value;      // value written, or the value read
  std::uint16_t error;      // 0 success, otherwise the DSP's error code
};

inline constexpr long kDspWindowAddress = 0x0C000000;
inline constexpr unsigned kDspWindowSize = 4096;

// Command value to the form the DSP keeps, and back.
std::uint16_t dsp_encode(unsigned param, int value);
std::uint16_t dsp_decode(unsigned param, std::uint16_t dsp_value);

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
