// What each command of the control protocol is: one row per keyword, and the
// ranges of the arguments. Everything that needs to know a command takes it
// from here: the daemon's handlers use the ranges, and its own table of
// keywords and handlers is checked against these rows when it is compiled;
// the client's resend rules, its settings model, the snapshot and the
// exporter read the rows; the unit tests check the manual pages, the
// completion and the capture dissector against them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/platform.h"
#include "protocol/protocol.h"

namespace orvo {

// The argument counts a command takes, a bit each: bit n for n arguments.
constexpr std::uint8_t arguments(int count) { return static_cast<std::uint8_t>(1u << count); }

enum CommandKind : std::uint8_t {
  kQuery,    // reads only
  kSetting,  // the forms in `sets` change one kept setting (a line of a
             // settings file does that); its other forms read it
  kReset,    // puts kept settings back to their factory values
  kAction,   // does something and keeps nothing
};

struct Command {
  char keyword[10];
  CommandKind kind;
  std::uint8_t forms;  // the argument counts it takes
  std::uint8_t sets;   // of those, the ones that change the setting (kSetting)
  // Must never run twice: a client sends it once, however long it stays
  // unanswered.
  bool once;
  // How long the daemon may be busy with it before it answers, in seconds.
  std::uint8_t busy_s;
  // Its reading forms ask the DSP: each such read may take the daemon up to
  // about a second, and a failing DSP makes it refuse them.
  bool dsp_read = false;
};

// Every command, in the order the daemon looks keywords up.
inline constexpr Command kCommands[] = {
    {"ID", kAction, arguments(1), 0, true, 0},  // blinks until ID 0
    {"FU", kAction, arguments(0), 0, true, 5},
    {"VERSION", kQuery, arguments(0), 0, false, 0},
    {"DEFAULTS", kReset, arguments(0), 0, false, 10},  // a dozen verified DSP writes
    {"STS", kSetting, arguments(2), arguments(2), false, 0},
    {"GTS", kQuery, arguments(1), 0, false, 0},
    {"STSB", kSetting, arguments(2), arguments(2), false, 0},
    {"GTSB", kQuery, arguments(1), 0, false, 0},
    {"SRGB", kSetting, arguments(4), arguments(4), false, 0},
    {"GRGB", kQuery, arguments(1), 0, false, 0},
    {"APT", kSetting, arguments(0) | arguments(1), arguments(1), false, 0, true},
    {"TRACKING", kSetting, arguments(0) | arguments(1), arguments(1), false, 0, true},
    {"EQ", kSetting, arguments(1) | arguments(2), arguments(2), false, 0, true},
    {"NULL", kSetting, arguments(0) | arguments(1) | arguments(2), arguments(1) | arguments(2),
     false, 0, true},
    {"NULLMASK", kSetting, arguments(0) | arguments(1), arguments(1), false, 0, true},
    {"ACTNULCOL", kSetting, arguments(0) | arguments(6), arguments(6), false, 0},
    {"NOISERED", kSetting, arguments(0) | arguments(1), arguments(1), false, 0, true},
    {"NOISESUP", kSetting, arguments(0) | arguments(1), arguments(1), false, 0, true},
    {"DSPSTATUS", kQuery, arguments(0), 0, false, 0, true},
    {"MICTEST", kAction, arguments(0), 0, true, 15},  // 11 s, then up to 4 DSP transfers
    {"IMPRESS", kAction, arguments(0), 0, true, 6},
};
inline constexpr int kCommandCount = sizeof kCommands / sizeof kCommands[0];

// The row of the keyword that is the first length characters of text, or
// nullptr.
constexpr const Command* command_row(const char* text, std::size_t length) {
  for (const Command& command : kCommands) {
    std::size_t i = 0;
    while (i < length && command.keyword[i] != '\0' && command.keyword[i] == text[i]) ++i;
    if (i == length && command.keyword[i] == '\0') return &command;
  }
  return nullptr;
}

// Whether a known command with that many arguments only reads.
constexpr bool command_reads(const Command& command, int count) {
  return (command.forms & arguments(count)) != 0 &&
         (command.kind == kQuery ||
          (command.kind == kSetting && (command.sets & arguments(count)) == 0));
}

// Whether a known command with that many arguments changes one setting.
constexpr bool command_sets(const Command& command, int count) {
  return command.kind == kSetting && (command.sets & arguments(count)) != 0;
}

// The row of a request line's keyword (nullptr for none), and its argument
// count: the words after the keyword, split at single spaces.
constexpr const Command* line_row(const char* line, int* count) {
  std::size_t length = 0;
  while (line[length] != '\0' && line[length] != ' ') ++length;
  *count = 0;
  for (const char* p = line + length; *p != '\0'; ++p) *count += *p == ' ';
  return command_row(line, length);
}

// Whether a request line is a known command in a form that only reads.
constexpr bool line_reads(const char* line) {
  int count = 0;
  const Command* row = line_row(line, &count);
  return row != nullptr && command_reads(*row, count);
}

// Whether a request line is a known command in a form that reads the DSP.
constexpr bool line_reads_dsp(const char* line) {
  int count = 0;
  const Command* row = line_row(line, &count);
  return row != nullptr && command_reads(*row, count) && row->dsp_read;
}

// A setting command's keyword and the argument counts that set it, taken
// from its row when compiled (a keyword without a row does not compile): for
// the appliance's client, which cannot spare the bytes of the whole table.
struct SettingForms {
  const char* keyword;
  std::uint8_t sets;
};
consteval SettingForms setting_forms(const char* keyword) {
  std::size_t length = 0;
  while (keyword[length] != '\0') ++length;
  return SettingForms{keyword, command_row(keyword, length)->sets};
}

// The LED state: channels 1 to kLedStateChannels (0 means all of them), of
// which 1 to kLedCount have an LED; each has a red, a green and a blue
// component, switched on or off, with a level 0-255.
constexpr char kComponentLetters[] = "RGB";  // STS and STSB: R=, G=, B=

// STSB and GTSB count levels in percent steps: step n (0 to 10) is n x 10
// percent and level n x 25, but for 100 percent, which is level 255.
inline constexpr int kPercentStep = 10;
inline constexpr int kPercentFull = 100;
inline constexpr int kLevelStep = 25;
inline constexpr int kLevelFull = 255;

// APT: 0 off, or mode 1 to kAptModes.
inline constexpr int kAptModes = 3;

// EQ: bands 0 to kEqBands - 1, gains kEqGainMin to kEqGainMax.
inline constexpr int kEqBands = 3;
inline constexpr int kEqGainMin = -20;
inline constexpr int kEqGainMax = 6;

// NULL and NULLMASK: channels 1 to kLedCount can be nulled (mask bit n for
// channel n), at most kMaxNulledChannels at once.
inline constexpr int kFirstNullChannel = 1;
inline constexpr int kLastNullChannel = kLedCount;
inline constexpr int kMaxNulledChannels = 2;

// The six colour bytes: the null colour (red, green, blue), then the active
// colour, as the daemon keeps them (and its colours file holds them).
// ACTNULCOL takes and reports them active colour first: its argument or value
// i (0-5) is byte colour_of_argument(i).
inline constexpr int kNullColour = 0;
inline constexpr int kActiveColour = 3;
inline constexpr int kColourBytes = 6;
constexpr int colour_of_argument(int i) { return i < 3 ? kActiveColour + i : kNullColour + i - 3; }

}  // namespace orvo
