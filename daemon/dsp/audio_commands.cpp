#include "daemon/dsp/audio_commands.h"

#include <cerrno>
#include <cstdint>
#include <unistd.h>

#include "daemon/dsp/mailbox.h"
#include "daemon/dsp/param_store.h"
#include "daemon/server/reply.h"
#include "protocol/arguments.h"
#include "protocol/commands.h"

namespace {

constexpr unsigned kMicTestSeconds = 11;

// Sends "ACK <keyword> <value>\r".
int acknowledge(const char* keyword, int value) {
  reply_format(0, "ACK %s %d\r", keyword, value);
  return 0;
}

// TRACKING, NOISESUP and NOISERED: read, or switch 0/1.
int on_off_command(const char* keyword, unsigned param, int argc, char** argv) {
  if (argc == 1) {
    std::uint16_t value = 0;
    const int result = dsp_get(param, &value);
    return result != 0 ? result : acknowledge(keyword, value);
  }
  if (argc != 2) {
    return -EINVAL;
  }
  const std::int32_t value = argument_number(argv[1]);
  if (value != 0 && value != 1) {
    return -EINVAL;
  }
  const int result = dsp_store(param, value);
  return result != 0 ? result : acknowledge(keyword, value);
}

// Bands 0-2 are parameters 5-7; false for any other band.
bool eq_band_param(std::int32_t band, unsigned* param) {
  if (band < 0 || band >= orvo::kEqBands) {
    return false;
  }
  *param = DSP_EQ_BAND0 + static_cast<unsigned>(band);
  return true;
}

int eq_read(std::int32_t band) {
  std::uint16_t enabled = 0;
  int result = dsp_get(DSP_EQ_ENABLE, &enabled);
  if (result != 0) {
    return result;
  }
  unsigned param = 0;
  if (!eq_band_param(band, &param)) {
    return -EINVAL;
  }
  std::uint16_t gain = 0;
  result = dsp_get(param, &gain);
  if (result != 0) {
    return result;
  }
  reply_format(0, "ACK EQ %d %d\r", band, enabled != 0 ? static_cast<std::int16_t>(gain) : 0);
  return 0;
}

int eq_write(std::int32_t band, std::int16_t gain) {
  // Both arguments are checked before anything is written: a refused write
  // leaves the equalizer as it was.
  unsigned param = 0;
  if (gain < orvo::kEqGainMin || gain > orvo::kEqGainMax || !eq_band_param(band, &param)) {
    return -EINVAL;
  }
  // Any write switches the equalizer on.
  int result = dsp_store(DSP_EQ_ENABLE, 1);
  if (result != 0) {
    return result;
  }
  result = dsp_store(param, gain);
  if (result != 0) {
    return result;
  }
  reply_format(0, "ACK EQ %d %d\r", band, gain);
  return 0;
}

}  // namespace

int cmd_tracking(int argc, char** argv) {
  return on_off_command("TRACKING", DSP_TRACKING, argc, argv);
}

int cmd_noisesup(int argc, char** argv) {
  return on_off_command("NOISESUP", DSP_NOISE, argc, argv);
}

int cmd_noisered(int argc, char** argv) {
  return on_off_command("NOISERED", DSP_NOISE, argc, argv);
}

int cmd_apt(int argc, char** argv) {
  if (argc == 1) {
    std::uint16_t enabled = 0;
    std::uint16_t mode = 0;
    int result = dsp_get(DSP_APT_ENABLE, &enabled);
    if (result == 0) {
      result = dsp_get(DSP_APT_MODE, &mode);
    }
    if (result != 0) {
      return result;
    }
    return acknowledge("APT", enabled != 0 ? mode + 1 : 0);
  }
  if (argc != 2) {
    return -EINVAL;
  }
  const std::int32_t apt = argument_number(argv[1]);
  if (apt < 0 || apt > orvo::kAptModes) {
    return -EINVAL;
  }
  // APT 0 switches off and keeps the mode; APT n selects mode n - 1.
  int result = dsp_store(DSP_APT_ENABLE, apt != 0 ? 1 : 0);
  if (result == 0 && apt != 0) {
    result = dsp_store(DSP_APT_MODE, apt - 1);
  }
  return result != 0 ? result : acknowledge("APT", apt);
}

int cmd_eq(int argc, char** argv) {
  if (argc == 2) {
    return eq_read(argument_number(argv[1]));
  }
  if (argc == 3) {
    // The gain counts in 16 bits: 65535 is -1.
    return eq_write(argument_number(argv[1]), static_cast<std::int16_t>(argument_number(argv[2])));
  }
  return -EINVAL;
}

int cmd_dspstatus(int argc, char**) {
  if (argc != 1) {
    return -EINVAL;
  }
  std::uint16_t status = 0;
  const int result = dsp_get(DSP_STATUS, &status);
  return result != 0 ? result : acknowledge("DSPSTATUS", status);
}

int cmd_mictest(int argc, char**) {
  if (argc != 1) {
    return -EINVAL;
  }
  int result = dsp_store(DSP_MICTEST, 1);
  if (result != 0) {
    return result;
  }
  // The test takes its time; nothing else is served meanwhile.
  unsigned left = kMicTestSeconds;
  while (left > 0) {
    left = sleep(left);
  }
  std::uint16_t running = 0;
  result = dsp_get(DSP_MICTEST, &running);
  if (result != 0) {
    return result;
  }
  if (running != 0) {
    return -ETIMEDOUT;
  }
  std::uint16_t outcome = 0;
  result = dsp_get(DSP_MICTEST_RESULT, &outcome);
  return result != 0 ? result : acknowledge("MICTEST", outcome);
}
