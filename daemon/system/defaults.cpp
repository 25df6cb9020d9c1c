#include "daemon/system/defaults.h"

#include <cerrno>
#include <unistd.h>

#include "daemon/dsp/param_store.h"
#include "daemon/null/null_colours.h"
#include "daemon/server/reply.h"
#include "protocol/platform.h"

namespace {

struct DspDefault {
  unsigned param;
  int value;
};

// Stored in this order; the first failure stops the reset.
constexpr DspDefault kDspDefaults[] = {
    {DSP_TRACKING, 1},
    {DSP_NOISE, 1},
    {DSP_APT_ENABLE, 0},
    {DSP_APT_MODE, 0},
    {DSP_NULL_COUNT, 0},
    {DSP_NULL_MASK, 0},
    {DSP_EQ_BAND0, 0},
    {DSP_EQ_BAND1, 0},
    {DSP_EQ_BAND2, 0},
    {DSP_EQ_ENABLE, 0},
    {DSP_PARAM_13, kDspParam13Value},
};

// Settings of other programs that a factory reset removes.
constexpr const char* kForgottenFiles[] = {
    kMasterIpPath,
    kNtpServerPath,
};

}  // namespace

int cmd_defaults(int argc, char**) {
  if (argc != 1) {
    return -EINVAL;
  }
  for (const DspDefault& entry : kDspDefaults) {
    const int result = dsp_store(entry.param, entry.value);
    if (result != 0) {
      return result;
    }
  }
  // From here on every step is taken even when an earlier one failed; the
  // first failure is the result.
  int result = 0;
  for (const char* path : kForgottenFiles) {
    if (unlink(path) != 0 && errno != ENOENT && result == 0) {
      result = -errno;
    }
  }
  null_colours = kFactoryNullColours;
  const int saved = null_colours_save();
  if (result == 0) {
    result = saved;
  }
  const int applied = null_mask_apply(0);
  if (result == 0) {
    result = applied;
  }
  if (result != 0) {
    return result;
  }
  reply_format(0, "ACK DEFAULTS\r");
  return 0;
}
