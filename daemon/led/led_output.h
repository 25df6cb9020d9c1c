// Writing LED brightness through the LED class devices.
#pragma once

#include <cstdint>
#include <pthread.h>

#include "protocol/platform.h"

struct LedSetting {
  std::int32_t channel;  // 0 every LED, 1-15 that LED, anything else none
  std::uint8_t red;
  std::uint8_t green;
  std::uint8_t blue;
};

// Held around each single brightness-file write.
extern pthread_mutex_t led_mutex;

// The level written for a component after colour correction ('r' x 0.46,
// 'b' x 0.687 in single precision, truncated, modulo 256; 'g' unchanged).
unsigned led_corrected_level(char component, unsigned level);

// Writes one component ('r', 'g' or 'b') of one LED (1-15). 0, or -errno
// when the brightness file cannot be opened or written (-EIO for a short
// write).
int led_write(int led, char component, unsigned level);

// Writes red, green and blue of every LED the setting selects, LED 1 to 15;
// stops at and returns the first failure.
int led_apply(const LedSetting* setting);
