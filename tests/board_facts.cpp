// board_facts: the platform's facts that the board test builds its device
// tree and its checks from, as shell assignments, so that they stay written
// once (protocol/platform.h, protocol/dsp_mailbox.h).
//
//   led_names='led1r led1g ... led15b'   the LED class devices, in order
//   window_address=0x0c000000            the DSP's mailbox window
//   window_size=0x1000

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "protocol/dsp_mailbox.h"
#include "protocol/platform.h"

int main() {
  // The device's name is the brightness file's folder below the LED class.
  const size_t folder = strlen(ORVO_LED_CLASS_FOLDER "/");
  fputs("led_names='", stdout);
  for (int led = 1; led <= kLedCount; ++led) {
    for (const char component : {'r', 'g', 'b'}) {
      char path[128];
      snprintf(path, sizeof path, ORVO_LED_BRIGHTNESS_PATH, led, component);
      *strrchr(path, '/') = '\0';
      printf("%s%s", led == 1 && component == 'r' ? "" : " ", path + folder);
    }
  }
  printf("'\nwindow_address=0x%08lx\nwindow_size=0x%x\n",
         static_cast<unsigned long>(kDspWindowAddress), kDspWindowSize);
  return 0;
}
