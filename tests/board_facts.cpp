// board_facts: the platform's facts that the system and board tests build
// their appliances and their checks from, as shell assignments, so that they
// stay written once (protocol/platform.h, protocol/dsp_mailbox.h,
// protocol/protocol.h).
//
//   led_names='led1r led1g ... led15b'   the LED class devices, in order
//   led_class=/sys/class/leds            their folder
//   settings_folder=/media/data/mic-array
//   eq1_file=.../dspparam6               the settings file of EQ band 1
//   led_state_file=.../led-internal-state
//   version_file=/etc/sw-version/rootfs_system_version
//   memory_file=/dev/mem                 the DSP's mailbox window is in it,
//   window_address=0x0c000000            here,
//   window_size=0x1000                   this long
//   control_port=49494                   the daemon's UDP port

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "protocol/dsp_mailbox.h"
#include "protocol/platform.h"
#include "protocol/protocol.h"

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
  printf("'\nled_class=%s\nsettings_folder=%s\n", kLedClassFolder, kSettingsFolder);
  printf("eq1_file=" ORVO_DSP_PARAM_PATH "\n", DSP_EQ_BAND1);
  printf("led_state_file=%s\nversion_file=%s\nmemory_file=%s\n", kLedStatePath, kVersionPath,
         kPhysicalMemoryPath);
  printf("window_address=0x%08lx\nwindow_size=0x%x\ncontrol_port=%u\n",
         static_cast<unsigned long>(kDspWindowAddress), kDspWindowSize,
         unsigned{orvo::kControlPort});
  return 0;
}
