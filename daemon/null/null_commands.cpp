#include "daemon/null/null_commands.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "daemon/dsp/mailbox.h"
#include "daemon/dsp/param_store.h"
#include "daemon/null/null_colours.h"
#include "daemon/server/arguments.h"
#include "daemon/server/request_loop.h"

namespace {

constexpr int kFirstChannel = 1;
constexpr int kLastChannel = 15;

// The mask bit of a channel; numbers that name no channel give none.
int channel_bit(std::int32_t channel) {
  return channel >= kFirstChannel && channel <= kLastChannel ? 1 << channel : 0;
}

int reply_nulled_channels() {
  std::uint16_t mask;
  const int result = dsp_get(DSP_NULL_MASK, &mask);
  if (result != 0) {
    return result;
  }
  int nulled[2];
  int count = 0;
  for (int channel = kFirstChannel; channel <= kLastChannel && count < 2; ++channel) {
    if (mask & (1u << channel)) {
      nulled[count++] = channel;
    }
  }
  if (count == 0) {
    snprintf(reply_buffer, sizeof reply_buffer, "ACK NULL 0\r");
  } else if (count == 1) {
    snprintf(reply_buffer, sizeof reply_buffer, "ACK NULL %d\r", nulled[0]);
  } else {
    snprintf(reply_buffer, sizeof reply_buffer, "ACK NULL %d %d\r", nulled[0], nulled[1]);
  }
  return send_reply(reply_buffer);
}

int reply_colours() {
  const NullColours& c = null_colours;
  snprintf(reply_buffer, sizeof reply_buffer, "ACK ACTNULCOL %d %d %d %d %d %d\r", c[3], c[4], c[5],
           c[0], c[1], c[2]);
  return send_reply(reply_buffer);
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
    snprintf(reply_buffer, sizeof reply_buffer, "ACK NULL %d\r", a);
    return send_reply(reply_buffer);
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
    snprintf(reply_buffer, sizeof reply_buffer, "ACK NULL %d %d\r", a, b);
    return send_reply(reply_buffer);
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
  snprintf(reply_buffer, sizeof reply_buffer, "ACK NULLMASK %d\r", mask);
  return send_reply(reply_buffer);
}

int cmd_actnulcol(int argc, char** argv) {
  if (argc == 7) {
    constexpr int kFromArgument[6] = {3, 4, 5, 0, 1, 2};
    for (int i = 0; i < 6; ++i) {
      null_colours[kFromArgument[i]] = static_cast<std::uint8_t>(argument_number(argv[i + 1]));
    }
    const int saved = null_colours_save();
    // Repaint the ring with the mask the DSP holds. When the DSP cannot say
    // which channels are nulled, the LEDs are left as they are: guessing a
    // mask would show (and store) the wrong channels as nulled. The new
    // colours are kept either way and show with the next mask.
    std::uint16_t mask;
    if (dsp_get(DSP_NULL_MASK, &mask) == 0) {
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
