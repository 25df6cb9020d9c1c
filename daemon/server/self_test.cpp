#include "daemon/server/self_test.h"

#include <cstdint>
#include <unistd.h>

#include "daemon/dsp/mailbox.h"
#include "daemon/dsp/param_store.h"
#include "daemon/led/led_output.h"
#include "daemon/server/log.h"

namespace {

constexpr unsigned kTestSeconds = 11;
constexpr unsigned kFlashSeconds = 1;
constexpr unsigned kRampStepMicroseconds = 100;

// Shows the failure for ever: a red ramp from dark to full, about 3.3 s each.
[[noreturn]] void show_failure() {
  for (;;) {
    for (unsigned level = 0; level <= 255; ++level) {
      usleep((255 - level) * kRampStepMicroseconds);
      const LedSetting red{0, static_cast<std::uint8_t>(level), 0, 0};
      led_apply(&red);
    }
  }
}

}  // namespace

void startup_self_test() {
  std::uint16_t value = 0;
  int result = dsp_store(DSP_MICTEST, 1);
  if (result == 0) {
    sleep(kTestSeconds);
    result = dsp_get(DSP_MICTEST, &value);
    if (result == 0 && value == 0) {
      result = dsp_get(DSP_MICTEST_RESULT, &value);
      if (result == 0 && value == 0) {
        const LedSetting green{0, 0, 255, 0};
        led_apply(&green);
        sleep(kFlashSeconds);
        return;
      }
    }
  }
  log_error(kLogMicTestFailed, result, static_cast<int>(value));
  show_failure();
}
