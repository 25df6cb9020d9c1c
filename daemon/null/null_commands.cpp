#include "daemon/null/null_commands.h"

#include <cerrno>
#include <cstdint>

#include "daemon/dsp/mailbox.h"
#include "daemon/dsp/param_store.h"
#include "daemon/null/null_colours.h"
#include "daemon/server/reply.h"
#include "protocol/arguments.h"
#include "protocol/commands.h"

namespace {

// The mask bit of a channel; numbers that name no channel give none.
int channel_bit(std::int32_t channel) {
  return channel >= orvo::kFirstNullChannel && channel <= orvo::kLastNullChannel ? 1 << channel : 0;
}

int reply_nulled_channels() {
  std::uint16_t mask;
  const int result = dsp_get(DSP_NULL_MASK, &mask);
  if (result != 0) {
    return result;
  }
  int nulled[orvo::kMaxNulledChannels];
  int count = 0;
  for (int channel = orvo::kFirstNullChannel;
       channel <= orvo::kLastNullChannel && count < orvo::kMaxNulledChannels; ++channel) {
    if (mask & (1u << channel)) {
      nulled[count++] = channel;
    }
  }
  if (count == 0) {
    reply_format(0, "ACK NULL 0\r");
  } else if (count == 1) {
    reply_format(0, "ACK NULL %d\r", nulled[0]);
  } else {
    reply_format(0, "ACK NULL %d %d\r", nulled[0], nulled[1]);
  }
  return 0;
}

int reply_colours() {
  const NullColours& c = null_colours;
  using orvo::colour_of_argument;
  reply_format(0, "ACK ACTNULCOL %d %d %d %d %d %d\r", c[colour_of_argument(0)],
               c[colour_of_argument(1)], c[colour_of_argument(2)], c[colour_of_argument(3)],
               c[colour_of_argument(4)], c[colour_of_argument(5)]);
  return 0;
}

}  // namespace

int cmd_null(int argc, char** argv) {
  if (argc == 1) {
    return reply_nulled_channels();
  }
  if (argc == 2) {
    const std::int32_t a = argument_number(argv[1]);
    const int result = null_mask_apply(channel_bit(a));
    if (result != 0) {
      return result;
    }
    reply_format(0, "ACK NULL %d\r", a);
    return 0;
  }
  if (argc == 3) {
    const std::int32_t a = argument_number(argv[1]);
    const std::int32_t b = argument_number(argv[2]);
    if (a == 0 || b == 0) {
      return -EINVAL;
    }
    const int result = null_mask_apply(channel_bit(a) | channel_bit(b));
    if (result != 0) {
      return result;
    }
    reply_format(0, "ACK NULL %d %d\r", a, b);
    return 0;
  }
  return -EINVAL;
}

int cmd_nullmask(int argc, char** argv) {
  std::uint16_t mask;
  if (argc == 1) {
    const int result = dsp_get(DSP_NULL_MASK, &mask);
    if (result != 0) {
      return result;
    }
  } else if (argc == 2) {
    mask = static_cast<std::uint16_t>(argument_number(argv[1]));
    const int result = null_mask_apply(mask);
    if (result != 0) {
      return result;
    }
  } else {
    return -EINVAL;
  }
  reply_format(0, "ACK NULLMASK %d\r", mask);
  return 0;
}

int cmd_actnulcol(int argc, char** argv) {
  if (argc == 1 + orvo::kColourBytes) {
    for (int i = 0; i < orvo::kColourBytes; ++i) {
      null_colours[orvo::colour_of_argument(i)] =
          static_cast<std::uint8_t>(argument_number(argv[i + 1]));
    }
    const int saved = null_colours_save();
    // Repaint the ring with the mask the DSP holds. When the DSP cannot say
    // which channels are nulled, or holds a mask that no NULL or NULLMASK
    // could have set (more than two channels: its power-on value, or one
    // written by another tool), the LEDs are left as they are: guessing a
    // mask would show (and store) the wrong channels as nulled. The new
    // colours are kept either way and show with the next mask.
    std::uint16_t mask;
    if (dsp_get(DSP_NULL_MASK, &mask) == 0 && null_mask_valid(mask)) {
      const int result = null_mask_apply(mask);
      if (result != 0) {
        return result;
      }
    }
    if (saved != 0) {
      return saved;
    }
  } else if (argc != 1) {
    return -EINVAL;
  }
  return reply_colours();
}
