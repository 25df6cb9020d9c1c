#include "daemon/led/led_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "protocol/platform.h"

pthread_mutex_t led_mutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

// The red and blue emitters are brighter than the green one; these factors
// balance them. Single precision on purpose: the levels must match the
// appliance's calibration bit for bit.
constexpr float kRedFactor = 0.46f;
constexpr float kBlueFactor = 0.687f;

constexpr int kPathSize = 128;
constexpr int kLevelTextSize = 16;

unsigned scaled(unsigned level, float factor) {
  const float product = static_cast<float>(level) * factor;
  // Truncation toward zero, then the 8 bits a brightness holds.
  return static_cast<unsigned>(product) % 256u;
}

}  // namespace

unsigned led_corrected_level(char component, unsigned level) {
  switch (component) {
    case 'r':
      return scaled(level, kRedFactor);
    case 'b':
      return scaled(level, kBlueFactor);
    default:
      return level;
  }
}

int led_write(int led, char component, unsigned level) {
  const unsigned corrected = led_corrected_level(component, level);
  pthread_mutex_lock(&led_mutex);
  char path[kPathSize];
  snprintf(path, sizeof path, ORVO_LED_BRIGHTNESS_PATH, led, component);
  const int fd = open(path, O_WRONLY | O_TRUNC);
  if (fd < 0) {
    const int error = errno;
    pthread_mutex_unlock(&led_mutex);
    return -error;
  }
  char text[kLevelTextSize];
  const size_t length = static_cast<size_t>(snprintf(text, sizeof text, "%u", corrected));
  const ssize_t written = write(fd, text, length);
  // A driver that refuses the level fails the write; a short one did not set it either.
  const int result = written < 0 ? -errno : static_cast<size_t>(written) != length ? -EIO : 0;
  close(fd);
  pthread_mutex_unlock(&led_mutex);
  return result;
}

int led_apply(const LedSetting* setting) {
  for (int led = 1; led <= kLedCount; ++led) {
    if (setting->channel != 0 && setting->channel != led) {
      continue;
    }
    int result = led_write(led, 'r', setting->red);
    if (result == 0) {
      result = led_write(led, 'g', setting->green);
    }
    if (result == 0) {
      result = led_write(led, 'b', setting->blue);
    }
    if (result != 0) {
      return result;
    }
  }
  return 0;
}
