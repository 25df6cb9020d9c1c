#include "daemon/server/command_table.h"

#include <cstring>

#include "daemon/dsp/audio_commands.h"
#include "daemon/led/effects.h"
#include "daemon/led/led_commands.h"
#include "daemon/null/null_commands.h"
#include "daemon/system/defaults.h"
#include "daemon/system/version.h"

namespace {

// Every command, in the order keywords are looked up.
constexpr CommandEntry command_table[] = {
    {"ID", cmd_id},
    {"FU", cmd_fu},
    {"VERSION", cmd_version},
    {"DEFAULTS", cmd_defaults},
    {"STS", cmd_sts},
    {"GTS", cmd_gts},
    {"STSB", cmd_stsb},
    {"GTSB", cmd_gtsb},
    {"SRGB", cmd_srgb},
    {"GRGB", cmd_grgb},
    {"APT", cmd_apt},
    {"TRACKING", cmd_tracking},
    {"EQ", cmd_eq},
    {"NULL", cmd_null},
    {"NULLMASK", cmd_nullmask},
    {"ACTNULCOL", cmd_actnulcol},
    {"NOISERED", cmd_noisered},
    {"NOISESUP", cmd_noisesup},
    {"DSPSTATUS", cmd_dspstatus},
    {"MICTEST", cmd_mictest},
    {"IMPRESS", cmd_impress},
};

}  // namespace

CommandHandler command_find(const char* keyword) {
  for (const CommandEntry& entry : command_table) {
    if (strcmp(entry.keyword, keyword) == 0) {
      return entry.handler;
    }
  }
  return nullptr;
}
