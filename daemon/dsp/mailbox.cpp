#include "daemon/dsp/mailbox.h"

#include <cerrno>

// Not built yet: the mailbox is never reached.
std::uint16_t dsp_encode(unsigned, int value) { return static_cast<std::uint16_t>(value); }
std::uint16_t dsp_decode(unsigned, std::uint16_t dsp_value) { return dsp_value; }
int dsp_map() { return -ENODEV; }
int dsp_transfer() { return -ENODEV; }
int dsp_get(unsigned, std::uint16_t*) { return -ENODEV; }
int dsp_set(unsigned, int) { return -ENODEV; }
