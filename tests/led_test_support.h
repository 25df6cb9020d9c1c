// Looking at the appliance's LEDs from the test side: every brightness file
// of the sandbox, read as the daemon left it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/platform.h"
#include "sim/sandbox.h"

inline constexpr const char* kLedStateFile = kLedStatePath;

using sim::brightness_path;

// The three brightness texts of one LED, as "r g b".
inline std::string led_colour(const sim::Sandbox& box, int led) {
  return box.read_file(brightness_path(led, 'r')) + " " + box.read_file(brightness_path(led, 'g')) +
         " " + box.read_file(brightness_path(led, 'b'));
}

// LEDs 1 to 15, first to last.
inline std::vector<std::string> led_colours(const sim::Sandbox& box) {
  std::vector<std::string> colours;
  for (int led = 1; led <= kLedCount; ++led) colours.push_back(led_colour(box, led));
  return colours;
}

inline std::vector<std::string> every_led(const std::string& colour) {
  return std::vector<std::string>(kLedCount, colour);
}

// Puts the same text into every brightness file.
inline void fill_leds(const sim::Sandbox& box, const std::string& text) {
  for (int led = 1; led <= kLedCount; ++led) {
    for (const char component : {'r', 'g', 'b'}) box.write_file(brightness_path(led, component), text);
  }
}
