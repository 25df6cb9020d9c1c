#include "daemon/led/led_commands.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "daemon/led/led_state.h"
#include "daemon/server/reply.h"
#include "protocol/arguments.h"
#include "protocol/commands.h"

namespace {

using orvo::kLevelFull;
using orvo::kLevelStep;
using orvo::kPercentFull;
using orvo::kPercentStep;

// Component index (0 red, 1 green, 2 blue) of "R", "G" or "B"; -1 otherwise.
int component_index(char letter) {
  switch (letter) {
    case 'R':
      return 0;
    case 'G':
      return 1;
    case 'B':
      return 2;
    default:
      return -1;
  }
}

bool channel_selected(std::int32_t requested, int channel) {
  return requested == 0 || requested == channel;
}

// The channel argument of the setting commands: 0 (all) to 16, else -1.
std::int32_t setting_channel(const char* text) {
  const std::int32_t channel = argument_number(text);
  return static_cast<std::uint32_t>(channel) > kLedStateChannels ? -1 : channel;
}

// Keeps the changed image and shows it. The LEDs are driven even when the
// save failed; the result is the LEDs' failure, else the save's.
int store_and_show() {
  const int saved = led_state_save();
  const int shown = led_state_apply();
  return shown != 0 ? shown : saved;
}

// One channel's group of a GTS or GTSB report. Every group ends in "SC=0":
// a fourth value that this appliance does not have, always reported as 0.
size_t reply_group(size_t at, int channel, int red, int green, int blue) {
  return reply_format(at, " CH%dR=%d CH%dG=%d CH%dB=%d CH%dSC=0", channel, red, channel, green,
                      channel, blue, channel);
}

// Percent steps: step n (0 to 10) is n x 10 percent and level n x 25, but
// for 100 percent, which is level 255. Counted, not divided: the appliance's
// CPU has no divide instruction, at -Os g++ calls the runtime's division
// routine even for a constant divisor, and that routine (600 bytes) would be
// the largest function of the daemon.

// The percentage GTSB reports for a level: the highest step it reaches.
int level_percent(std::uint8_t level) {
  int step = kPercentFull / kPercentStep;
  while (step > 0 && level < step * kLevelStep) {
    --step;
  }
  return step * kPercentStep;
}

// The level STSB sets for a percentage, or -1 when it is not a step.
int percent_level(std::uint32_t percent) {
  for (int step = 0; step * kPercentStep <= kPercentFull; ++step) {
    if (percent == static_cast<std::uint32_t>(step * kPercentStep)) {
      return percent == kPercentFull ? kLevelFull : step * kLevelStep;
    }
  }
  return -1;
}

}  // namespace

int cmd_sts(int argc, char** argv) {
  if (argc != 3) {
    return -EINVAL;
  }
  const std::int32_t channel = setting_channel(argv[1]);
  const char* flag = argv[2];
  if (channel < 0 || strlen(flag) != 3 || flag[1] != '=' || (flag[2] != '0' && flag[2] != '1')) {
    return -EINVAL;
  }
  const int component = component_index(flag[0]);
  if (component < 0) {
    return -EINVAL;
  }
  for (int c = 1; c <= kLedStateChannels; ++c) {
    if (channel_selected(channel, c)) {
      led_state_flag(c, component) = flag[2] == '1' ? 1 : 0;
    }
  }
  const int result = store_and_show();
  if (result != 0) {
    return result;
  }
  reply_format(0, "ACK STS %s %s\r", argv[1], argv[2]);
  return 0;
}

int cmd_stsb(int argc, char** argv) {
  if (argc != 3) {
    return -EINVAL;
  }
  const std::int32_t channel = setting_channel(argv[1]);
  const char* level = argv[2];
  if (channel < 0 || level[0] == '\0' || level[1] != '=') {
    return -EINVAL;
  }
  const int value = percent_level(static_cast<std::uint32_t>(argument_number(level + 2)));
  if (value < 0) {
    return -EINVAL;
  }
  const int component = component_index(level[0]);
  if (component < 0) {
    return -EINVAL;
  }
  for (int c = 1; c <= kLedStateChannels; ++c) {
    if (channel_selected(channel, c)) {
      led_state_level(c, component) = static_cast<std::uint8_t>(value);
    }
  }
  const int result = store_and_show();
  if (result != 0) {
    return result;
  }
  reply_format(0, "ACK STSB %s %s\r", argv[1], argv[2]);
  return 0;
}

int cmd_srgb(int argc, char** argv) {
  if (argc != 5) {
    return -EINVAL;
  }
  // Any channel outside 0-16 selects nothing; levels keep their low 8 bits.
  const std::int32_t channel = argument_number(argv[1]);
  std::uint8_t levels[3];
  for (int component = 0; component < 3; ++component) {
    levels[component] = static_cast<std::uint8_t>(argument_number(argv[2 + component]));
  }
  for (int c = 1; c <= kLedStateChannels; ++c) {
    if (!channel_selected(channel, c)) {
      continue;
    }
    for (int component = 0; component < 3; ++component) {
      led_state_level(c, component) = levels[component];
      led_state_flag(c, component) = 1;
    }
  }
  const int result = store_and_show();
  if (result != 0) {
    return result;
  }
  reply_format(0, "ACK SRGB %s %s %s %s\r", argv[1], argv[2], argv[3], argv[4]);
  return 0;
}

int cmd_gts(int argc, char** argv) {
  if (argc != 2) {
    return -EINVAL;
  }
  const std::int32_t channel = argument_number(argv[1]);
  size_t at = reply_format(0, "ACK GTS %d", channel);
  for (int c = 1; c <= kLedStateChannels; ++c) {
    if (channel_selected(channel, c)) {
      at = reply_group(at, c, led_state_flag(c, 0) != 0, led_state_flag(c, 1) != 0,
                       led_state_flag(c, 2) != 0);
    }
  }
  reply_format(at, "\r");
  return 0;
}

int cmd_gtsb(int argc, char** argv) {
  if (argc != 2) {
    return -EINVAL;
  }
  const std::int32_t channel = argument_number(argv[1]);
  size_t at = reply_format(0, "ACK GTSB %d", channel);
  for (int c = 1; c <= kLedStateChannels; ++c) {
    if (channel_selected(channel, c)) {
      at = reply_group(at, c, level_percent(led_state_level(c, 0)),
                       level_percent(led_state_level(c, 1)), level_percent(led_state_level(c, 2)));
    }
  }
  reply_format(at, "\r");
  return 0;
}

int cmd_grgb(int argc, char** argv) {
  if (argc != 2) {
    return -EINVAL;
  }
  const std::int32_t channel = argument_number(argv[1]);
  // The header does not repeat the channel: it is 0 for all of them and 2 for
  // any single one, whatever its number. Callers rely on it as it is.
  size_t at = reply_format(0, "ACK GRGB %d", channel == 0 ? 0 : 2);
  for (int c = 1; c <= kLedStateChannels; ++c) {
    if (channel_selected(channel, c)) {
      at = reply_format(at, " CH%d %d %d %d", c, led_state_effective(c, 0),
                        led_state_effective(c, 1), led_state_effective(c, 2));
    }
  }
  reply_format(at, "\r");
  return 0;
}
