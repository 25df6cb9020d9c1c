#include "daemon/led/led_state.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "daemon/led/led_output.h"
#include "daemon/system/settings_file.h"
#include "protocol/platform.h"

LedStateImage led_state_image{};

namespace {

void set_defaults() {
  led_state_image.fill(0);
  for (int channel = 1; channel <= kLedCount; ++channel) {
    for (int component = 0; component < 3; ++component) {
      led_state_flag(channel, component) = 1;
    }
    led_state_level(channel, 1) = 255;
  }
}

// Reads until the image is full or the file ends; the byte count read.
size_t read_image(int fd) {
  size_t got = 0;
  while (got < led_state_image.size()) {
    const ssize_t chunk = read(fd, led_state_image.data() + got, led_state_image.size() - got);
    if (chunk < 0 && errno == EINTR) {
      continue;
    }
    if (chunk <= 0) {
      break;
    }
    got += static_cast<size_t>(chunk);
  }
  return got;
}

}  // namespace

int led_state_init() {
  set_defaults();
  const int fd = open(kLedStatePath, O_RDONLY);
  if (fd < 0) {
    return -1;
  }
  // A short file overlays the front of the defaults; only a whole one is
  // shown at once.
  if (read_image(fd) == led_state_image.size()) {
    led_state_apply();
  }
  return close(fd);
}

int led_state_apply() {
  for (int channel = 1; channel <= kLedStateChannels; ++channel) {
    const LedSetting setting{channel, led_state_effective(channel, 0),
                             led_state_effective(channel, 1), led_state_effective(channel, 2)};
    const int result = led_apply(&setting);
    if (result != 0) {
      return result;
    }
  }
  return 0;
}

int led_state_save() {
  const SettingsWrite written =
      settings_file_replace(kLedStatePath, led_state_image.data(), led_state_image.size());
  return written == SettingsWrite::ok ? 0 : -1;
}
