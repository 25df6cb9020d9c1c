// The LED state image: per-channel flags and levels, kept in a file.
#pragma once

#include <array>
#include <cstdint>

#include "protocol/protocol.h"

using orvo::kLedStateChannels;

// Bytes 0-50: flags, 17 rows (channels 0-16) of red, green, blue.
// Bytes 51-101: levels in the same layout. Row 0 is never used.
inline constexpr int kLedLevelOffset = 3 * (kLedStateChannels + 1);
using LedStateImage = std::array<std::uint8_t, 2 * kLedLevelOffset>;

extern LedStateImage led_state_image;

// Flag and level of a channel's component (0 red, 1 green, 2 blue).
inline std::uint8_t& led_state_flag(int channel, int component) {
  return led_state_image[3 * channel + component];
}
inline std::uint8_t& led_state_level(int channel, int component) {
  return led_state_image[kLedLevelOffset + 3 * channel + component];
}
// The level when the flag is on, else 0.
inline std::uint8_t led_state_effective(int channel, int component) {
  return led_state_flag(channel, component) ? led_state_level(channel, component) : 0;
}

// Defaults (channels 1-15 green, all on), then the saved file if there is
// one; a complete file is applied at once.
void led_state_init();
// Drives channels 1-16 from the image; 0 or the first led_apply failure.
int led_state_apply();
// Replaces the state file with the image; 0 or settings_file_replace's
// failure.
int led_state_save();
