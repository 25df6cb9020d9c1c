#include "daemon/led/led_commands.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "daemon/led/led_state.h"
#include "daemon/server/arguments.h"
#include "daemon/server/request_loop.h"

namespace {

constexpr int kPercentFull = 100;
constexpr int kPercentStep = 10;
constexpr int kLevelStep = 25;
constexpr std::uint8_t kLevelFull = 255;

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

// Appends to the reply being built in reply_buffer, never beyond its end;
// *used counts the characters in it so far.
__attribute__((format(printf, 2, 3))) void reply_append(size_t* used, const char* format, ...) {
  if (*used >= sizeof reply_buffer - 1) {
    return;
  }
  va_list arguments;
  va_start(arguments, format);
  const int length = vsnprintf(reply_buffer + *used, sizeof reply_buffer - *used, format, arguments);
  va_end(arguments);
  if (length < 0) {
    reply_buffer[*used] = '\0';
    return;
  }
  *used += static_cast<size_t>(length);
  if (*used > sizeof reply_buffer - 1) {
    *used = sizeof reply_buffer - 1;
  }
}

// Keeps the changed image and shows it. The LEDs are driven even when the
// save failed; the result is the LEDs' failure, else the save's.
int store_and_show() {
  const int saved = led_state_save();
  const int shown = led_state_apply();
  return shown != 0 ? shown : saved;
}

int level_percent(std::uint8_t level) {
  return level == kLevelFull ? kPercentFull : level / kLevelStep * kPercentStep;
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
  size_t used = 0;
  reply_append(&used, "ACK STS %s %s\r", argv[1], argv[2]);
  return send_reply(reply_buffer);
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
  const std::int32_t percent = argument_number(level + 2);
  if (static_cast<std::uint32_t>(percent) > kPercentFull || percent % kPercentStep != 0) {
    return -EINVAL;
  }
  const int component = component_index(level[0]);
  if (component < 0) {
    return -EINVAL;
  }
  const std::uint8_t value = percent == kPercentFull
                                 ? kLevelFull
                                 : static_cast<std::uint8_t>(percent / kPercentStep * kLevelStep);
  for (int c = 1; c <= kLedStateChannels; ++c) {
    if (channel_selected(channel, c)) {
      led_state_level(c, component) = value;
    }
  }
  const int result = store_and_show();
  if (result != 0) {
    return result;
  }
  size_t used = 0;
  reply_append(&used, "ACK STSB %s %s\r", argv[1], argv[2]);
  return send_reply(reply_buffer);
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
  size_t used = 0;
  reply_append(&used, "ACK SRGB %s %s %s %s\r", argv[1], argv[2], argv[3], argv[4]);
  return send_reply(reply_buffer);
}

int cmd_gts(int argc, char** argv) {
  if (argc != 2) {
    return -EINVAL;
  }
  const std::int32_t channel = argument_number(argv[1]);
  size_t used = 0;
  reply_append(&used, "ACK GTS %d", channel);
  for (int c = 1; c <= kLedStateChannels; ++c) {
    if (channel_selected(channel, c)) {
      reply_append(&used, " CH%dR=%d CH%dG=%d CH%dB=%d CH%dSC=0", c,
                   led_state_flag(c, 0) != 0, c, led_state_flag(c, 1) != 0, c,
                   led_state_flag(c, 2) != 0, c);
    }
  }
  reply_append(&used, "\r");
  return send_reply(reply_buffer);
}

int cmd_gtsb(int argc, char** argv) {
  if (argc != 2) {
    return -EINVAL;
  }
  const std::int32_t channel = argument_number(argv[1]);
  size_t used = 0;
  reply_append(&used, "ACK GTSB %d", channel);
  for (int c = 1; c <= kLedStateChannels; ++c) {
    if (channel_selected(channel, c)) {
      reply_append(&used, " CH%dR=%d CH%dG=%d CH%dB=%d CH%dSC=0", c,
                   level_percent(led_state_level(c, 0)), c, level_percent(led_state_level(c, 1)),
                   c, level_percent(led_state_level(c, 2)), c);
    }
  }
  reply_append(&used, "\r");
  return send_reply(reply_buffer);
}

int cmd_grgb(int argc, char** argv) {
  if (argc != 2) {
    return -EINVAL;
  }
  const std::int32_t channel = argument_number(argv[1]);
  size_t used = 0;
  reply_append(&used, "ACK GRGB %d", channel == 0 ? 0 : 2);
  for (int c = 1; c <= kLedStateChannels; ++c) {
    if (channel_selected(channel, c)) {
      reply_append(&used, " CH%d %d %d %d", c, led_state_effective(c, 0),
                   led_state_effective(c, 1), led_state_effective(c, 2));
    }
  }
  reply_append(&used, "\r");
  return send_reply(reply_buffer);
}
