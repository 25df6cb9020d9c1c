// The settings of one appliance, as the protocol lets one read them: the
// queries that read them, their replies taken apart, and what a line of a
// settings file (a command that sets something) does to them. The snapshot
// (-s) prints them as commands; the exporter reports them and compares them
// with a settings file.
#pragma once

#include "protocol/commands.h"

constexpr int kSettingsChannels = orvo::kLedStateChannels;  // the last has no LED

// The queries, in the order they are sent.
enum SettingsQuery {
  kQueryTracking,
  kQueryNoise,
  kQueryApt,
  kQueryEq0,
  kQueryEq1,
  kQueryEq2,
  kQueryColours,
  kQueryMask,
  kQueryFlags,
  kQueryPercent,
  kQueryLevels,
  kSettingsQueryCount
};
// (Rows of characters, not pointers: on the appliance, where the client
// runs too, a table of pointers costs a relocation each.)
constexpr int kSettingsQueryLength = 10;
extern const char kSettingsQueries[kSettingsQueryCount][kSettingsQueryLength];

struct LedChannel {
  int level[3];  // red, green, blue, 0-255
  bool on[3];
};

struct ApplianceSettings {
  long tracking;
  long noise;
  long apt;
  long eq[orvo::kEqBands];  // gain of each band in dB
  // As the daemon keeps them: null red, green, blue, then active
  // (protocol/commands.h; ACTNULCOL has the active colour first).
  long colours[orvo::kColourBytes];
  long mask;  // bit n = channel n
  // Channels 1-16 (0 unused). A switched-off component's level is known in
  // 10 % steps only: the level that its step stands for.
  LedChannel channels[kSettingsChannels + 1];
};

// Takes apart the replies to kSettingsQueries (text before the CR; nullptr
// for a query without an answer). Returns a bit mask, bit q set where the
// reply to query q was read; the LED state needs all three of kQueryFlags,
// kQueryPercent and kQueryLevels, and has their three bits only then.
unsigned settings_read(char* const* replies, ApplianceSettings* settings);
constexpr unsigned kSettingsAll = (1u << kSettingsQueryCount) - 1;
constexpr unsigned kSettingsLeds = 1u << kQueryFlags | 1u << kQueryPercent | 1u << kQueryLevels;

// The percentage step that GTSB reports for a level, and the level that STSB
// sets for a step.
int settings_percent(int level);
int settings_percent_level(int percent);

// Which settings a file names, a bit each: see settings_named_*.
using SettingsNamed = unsigned long;
constexpr SettingsNamed kNamedTracking = 1ul << 0;
constexpr SettingsNamed kNamedNoise = 1ul << 1;
constexpr SettingsNamed kNamedApt = 1ul << 2;
constexpr SettingsNamed kNamedEq0 = 1ul << 3;  // the other bands follow
constexpr SettingsNamed kNamedColours = kNamedEq0 << orvo::kEqBands;
constexpr SettingsNamed kNamedMask = kNamedColours << 1;
constexpr SettingsNamed kNamedChannel1 = kNamedMask << 1;  // channels 2-16 follow
constexpr SettingsNamed kNamedAll = (kNamedChannel1 << kSettingsChannels) - 1;

// Applies one line of a settings file (a command, trimmed) to the settings
// as the daemon would carry it out, and adds the settings it names to named.
// False, changing nothing, when the line is not a command that the daemon
// would take to set something.
bool settings_apply(ApplianceSettings* settings, const char* line, SettingsNamed* named);

// The settings by name, in the order of their bits (kSettingNames[n] is bit
// n): what the exporter's setting label and the panel call each.
constexpr int kSettingCount = 8 + kSettingsChannels;
static_assert(kNamedAll == (1ul << kSettingCount) - 1, "a name for every setting");
constexpr int kSettingNameLength = 18;  // "noise_suppression"
extern const char kSettingNames[kSettingCount][kSettingNameLength];

// Which of the settings named differ: tracking, noise suppression, APT, each
// band, the colours, the mask, and each channel's LED state. Levels of
// switched-off components count in 10 % steps.
SettingsNamed settings_differing(const ApplianceSettings& a, const ApplianceSettings& b,
                                 SettingsNamed named);
// How many of them.
int settings_differences(const ApplianceSettings& a, const ApplianceSettings& b,
                         SettingsNamed named);

// The settings as orvo-udpc -s prints them (client/snapshot_form.h), for the
// host named: a malloc'd text that the caller frees, or nullptr when out of
// memory.
char* settings_text(const char* host, const ApplianceSettings& settings);
