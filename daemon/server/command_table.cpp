#include "daemon/server/command_table.h"

#include <cstring>

#include "daemon/dsp/audio_commands.h"
#include "daemon/led/effects.h"
#include "daemon/led/led_commands.h"
#include "daemon/null/null_commands.h"
#include "daemon/system/defaults.h"
#include "daemon/system/version.h"
#include "protocol/commands.h"

namespace {

// Every command, in the order keywords are looked up. Only the keywords and
// handlers are kept here, on the appliance: what each command takes is
// protocol/commands.h's, and its rows are checked against these below.
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

// The same keywords as the protocol's rows, in the same order.
constexpr bool keywords_match() {
  if (sizeof command_table / sizeof command_table[0] != orvo::kCommandCount) return false;
  for (int i = 0; i < orvo::kCommandCount; ++i) {
    const char* ours = command_table[i].keyword;
    const char* row = orvo::kCommands[i].keyword;
    while (*ours != '\0' && *ours == *row) {
      ++ours;
      ++row;
    }
    if (*ours != *row) return false;
  }
  return true;
}
static_assert(keywords_match(), "the command table differs from protocol/commands.h");

}  // namespace

CommandHandler command_find(const char* keyword) {
  for (const CommandEntry& entry : command_table) {
    if (strcmp(entry.keyword, keyword) == 0) {
      return entry.handler;
    }
  }
  return nullptr;
}
