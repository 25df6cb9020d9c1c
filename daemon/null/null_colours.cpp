#include "daemon/null/null_colours.h"

#include <bit>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "daemon/dsp/param_store.h"
#include "daemon/led/led_state.h"
#include "daemon/system/settings_file.h"
#include "protocol/commands.h"

NullColours null_colours = kFactoryNullColours;

void null_colours_load() {
  const int fd = open(kNullColourPath, O_RDONLY);
  if (fd >= 0) {
    // A short file replaces only the bytes it holds.
    const ssize_t length = read(fd, null_colours.data(), null_colours.size());
    (void)length;
    close(fd);
  }
}

int null_colours_save() {
  return settings_file_replace(kNullColourPath, null_colours.data(), null_colours.size());
}

bool null_mask_valid(int mask) {
  return std::popcount(static_cast<unsigned>(mask)) <= orvo::kMaxNulledChannels;
}

int null_mask_apply(int mask) {
  if (!null_mask_valid(mask)) {
    return -EINVAL;
  }
  const int nulled = std::popcount(static_cast<unsigned>(mask));
  for (int channel = 1; channel <= kLedCount; ++channel) {
    const int colour = (mask >> channel) & 1 ? orvo::kNullColour : orvo::kActiveColour;
    for (int component = 0; component < 3; ++component) {
      led_state_level(channel, component) = null_colours[colour + component];
    }
  }
  // A failed save does not stop the LEDs and the DSP from taking the mask;
  // it is reported once they have.
  const int saved = led_state_save();
  int result = led_state_apply();
  if (result != 0) {
    return result;
  }
  result = dsp_store(DSP_NULL_MASK, mask);
  if (result != 0) {
    return result;
  }
  result = dsp_store(DSP_NULL_COUNT, nulled);
  return result != 0 ? result : saved;
}
