#include "protocol/dsp_mailbox.h"

namespace {

// The value as a signed 16-bit number, computed without signed overflow.
std::int16_t narrow(unsigned value) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(value));
}

std::uint16_t at_most(std::int16_t value, std::int16_t limit) {
  return static_cast<std::uint16_t>(value > limit ? limit : value);
}

std::uint16_t at_least(std::int16_t value, std::int16_t limit) {
  return static_cast<std::uint16_t>(value < limit ? limit : value);
}

}  // namespace

std::uint16_t dsp_encode(unsigned param, int value) {
  const unsigned bits = static_cast<unsigned>(value);
  switch (param) {
    case DSP_NULL_MASK:
      // Channels 1-14 move to bits 2-15, channel 15 goes to bit 1.
      return static_cast<std::uint16_t>(((bits << 1) & 0xFFFF) |
                                        ((bits & 0x8000) != 0 ? 0x0002 : 0));
    case DSP_EQ_BAND0:
      return at_most(narrow(bits + 1), 20);
    case DSP_EQ_BAND1:
    case DSP_EQ_BAND2:
      return at_least(narrow(bits - 1), -21);
    default:
      return static_cast<std::uint16_t>(bits);
  }
}

std::uint16_t dsp_decode(unsigned param, std::uint16_t dsp_value) {
  const unsigned bits = dsp_value;
  switch (param) {
    case DSP_NULL_MASK:
      return static_cast<std::uint16_t>(((bits >> 1) & 0x7FFE) |
                                        ((bits & 0x0002) != 0 ? 0x8000 : 0));
    case DSP_EQ_BAND0:
      return at_least(narrow(bits - 1), -20);
    case DSP_EQ_BAND1:
    case DSP_EQ_BAND2:
      return at_most(narrow(bits + 1), 20);
    default:
      return dsp_value;
  }
}
