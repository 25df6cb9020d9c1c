// The audio DSP as both sides of its mailbox see it: the window in physical
// memory, the mailbox words in it, the parameter numbers, and the forms in
// which the DSP keeps three groups of parameters. The daemon drives the
// mailbox; the DSP stand-in of the sandbox and the simulator serve and show it.
#pragma once

#include <cstdint>

// The window that the DSP firmware serves, mapped from /dev/mem.
inline constexpr long kDspWindowAddress = 0x0C000000;
inline constexpr unsigned kDspWindowSize = 4096;
// A plain file standing in for /dev/mem must reach the window's end.
inline constexpr long kDspMemFileSize = kDspWindowAddress + kDspWindowSize;

// Five 16-bit words at the start of the window, little-endian.
struct DspMailbox {
  std::uint16_t busy;       // 0xFFFF starts a request; the DSP clears it when done
  std::uint16_t direction;  // 0 read, 1 write
  std::uint16_t param;      // parameter number
  std::uint16_t value;      // value written, or the value read
  std::uint16_t error;      // 0 success, otherwise the DSP's error code
};

inline constexpr std::uint16_t kDspBusyStart = 0xFFFF;
inline constexpr std::uint16_t kDspDirectionRead = 0;
inline constexpr std::uint16_t kDspDirectionWrite = 1;

// The parameters.
inline constexpr unsigned DSP_TRACKING = 0;
inline constexpr unsigned DSP_NOISE = 1;
inline constexpr unsigned DSP_APT_ENABLE = 2;
inline constexpr unsigned DSP_EQ_ENABLE = 3;
inline constexpr unsigned DSP_NULL_COUNT = 4;
inline constexpr unsigned DSP_EQ_BAND0 = 5;
inline constexpr unsigned DSP_EQ_BAND1 = 6;
inline constexpr unsigned DSP_EQ_BAND2 = 7;
inline constexpr unsigned DSP_MICTEST = 8;
inline constexpr unsigned DSP_MICTEST_RESULT = 9;
inline constexpr unsigned DSP_STATUS = 10;
inline constexpr unsigned DSP_APT_MODE = 11;
inline constexpr unsigned DSP_NULL_MASK = 12;
inline constexpr unsigned DSP_PARAM_13 = 13;
inline constexpr unsigned DSP_PARAM_14 = 14;
inline constexpr unsigned kDspParamCount = 15;

// Command value to the form the DSP keeps, and back.
std::uint16_t dsp_encode(unsigned param, int value);
std::uint16_t dsp_decode(unsigned param, std::uint16_t dsp_value);
