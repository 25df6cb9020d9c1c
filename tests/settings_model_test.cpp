// The client's settings model (settings_apply, which the exporter's drift
// count rests on) against the daemon's own handlers, row by row: every
// command of the protocol's table, every form of it, each line through the
// handler and through the model, from start states that the settings queries
// read completely; the same acceptance and the same settings after it.

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "client/settings.h"
#include "protocol/commands.h"
#include "tests/daemon_standins.h"

namespace {

// The settings as the client reads them: the replies of the daemon's
// handlers to the settings queries, taken apart.
ApplianceSettings read_back(unsigned* known) {
  std::string replies[kSettingsQueryCount];
  char* texts[kSettingsQueryCount];
  for (int q = 0; q < kSettingsQueryCount; ++q) {
    replies[q] = daemon_request(kSettingsQueries[q]);
    texts[q] = replies[q] == "NACK" ? nullptr : replies[q].data();
  }
  ApplianceSettings settings{};
  *known = settings_read(texts, &settings);
  return settings;
}

// Where the model and the daemon differ: the settings as read, and each LED
// component's level in the daemon's image, whether it shows or not.
std::string differences(const ApplianceSettings& model, const ApplianceSettings& read) {
  std::ostringstream out;
  const auto value = [&out](const char* name, long a, long b) {
    if (a != b) out << " " << name << " " << a << "/" << b;
  };
  value("tracking", model.tracking, read.tracking);
  value("noise", model.noise, read.noise);
  value("apt", model.apt, read.apt);
  value("mask", model.mask, read.mask);
  for (int b = 0; b < orvo::kEqBands; ++b) value("eq", model.eq[b], read.eq[b]);
  for (int i = 0; i < orvo::kColourBytes; ++i) value("colour", model.colours[i], read.colours[i]);
  for (int c = 1; c <= kSettingsChannels; ++c) {
    for (int k = 0; k < 3; ++k) {
      const std::string name = "CH" + std::to_string(c) + orvo::kComponentLetters[k];
      value((name + " on").c_str(), model.channels[c].on[k], read.channels[c].on[k]);
      value((name + " level").c_str(), model.channels[c].level[k], led_state_level(c, k));
    }
  }
  return out.str();
}

struct Start {
  const char* name;
  std::vector<std::string> lines;             // sent to the daemon from nothing
  std::vector<std::pair<unsigned, int>> dsp;  // then DSP values set behind its back
};

// The start states. A query cannot read what a switched-off component's
// level is beyond its percent step, nor an equalizer band's gain while the
// equalizer is off; in these states, both are what the queries tell.
const Start kStarts[] = {
    {"lit", {"SRGB 0 0 255 0", "TRACKING 1", "NOISESUP 1", "EQ 0 -20", "EQ 1 0", "EQ 2 6"}, {}},
    {"nulled",
     {"SRGB 0 100 150 200", "ACTNULCOL 25 50 75 255 125 0", "NULL 3 7", "STS 5 R=0", "STSB 0 B=50",
      "STS 0 B=0", "STSB 16 G=60", "STS 16 G=0", "EQ 1 -3", "APT 2", "APT 0", "NOISERED 1"},
     {}},
    // As after DEFAULTS (equalizer off, flat), with a mask that no NULL or
    // NULLMASK sets (three channels), as another tool may leave it.
    {"foreign mask",
     {"SRGB 0 0 255 0", "SRGB 9 255 0 0", "EQ 0 0", "EQ 1 0", "EQ 2 0", "APT 3"},
     {{DSP_EQ_ENABLE, 0}, {DSP_NULL_MASK, 0x1C}}},
};

DaemonState start_state(const Start& start) {
  DaemonState nothing{};
  nothing.colours = kFactoryNullColours;
  daemon_state_set(nothing);
  for (const std::string& line : start.lines) {
    EXPECT_NE(daemon_request(line), "NACK") << start.name << ": " << line;
  }
  for (const auto& [param, value] : start.dsp) standin_dsp_words[param] = dsp_encode(param, value);
  return daemon_state();
}

// Arguments to try: at and beyond the ends of every range, the widths the
// daemon narrows to (8, 16 and 32 bits), and text that is no number.
const std::vector<std::string> kNumbers = {
    "0",     "1",     "2",     "3",     "4",          "6",          "7",           "-1",  "-3",
    "-20",   "-21",   "15",    "16",    "17",         "100",        "255",         "256", "65516",
    "65535", "65536", "32768", "32770", "4294967296", "4294967298", "-4294967295", "x",   "2x"};
// The component arguments of STS and STSB.
const std::vector<std::string> kComponents = {
    "R=0",   "R=1",   "G=0",  "G=1", "B=1", "R=2", "G=01", "B=10", "R=50", "G=100",
    "B=110", "B=-10", "G=55", "R=",  "X=1", "r=1", "R1",   "RR=1", "G=1x", "B=4294967306"};

const std::vector<std::string>& pool(const orvo::Command& row, int position) {
  const bool component = (strcmp(row.keyword, "STS") == 0 || strcmp(row.keyword, "STSB") == 0);
  return component && position == 1 ? kComponents : kNumbers;
}

// The lines of a form with count arguments: every combination of up to two
// arguments; with more, each argument through its pool, the others at 1.
std::vector<std::string> form_lines(const orvo::Command& row, int count) {
  std::vector<std::vector<std::string>> lines{{row.keyword}};
  if (count <= 2) {
    for (int position = 0; position < count; ++position) {
      std::vector<std::vector<std::string>> longer;
      for (const auto& line : lines) {
        for (const std::string& argument : pool(row, position)) {
          longer.push_back(line);
          longer.back().push_back(argument);
        }
      }
      lines = longer;
    }
  } else {
    lines.clear();
    for (int position = 0; position < count; ++position) {
      for (const std::string& argument : pool(row, position)) {
        std::vector<std::string> line{row.keyword};
        for (int i = 0; i < count; ++i) line.push_back(i == position ? argument : "1");
        lines.push_back(line);
      }
    }
  }
  std::vector<std::string> joined;
  for (const auto& words : lines) {
    std::string line;
    for (const std::string& word : words) line += (line.empty() ? "" : " ") + word;
    joined.push_back(line);
  }
  return joined;
}

TEST(SettingsModel, EveryLineDoesToTheSettingsWhatTheDaemonDoes) {
  int lines = 0, mismatches = 0;
  for (const Start& start : kStarts) {
    const DaemonState state = start_state(start);
    unsigned known = 0;
    const ApplianceSettings before = read_back(&known);
    ASSERT_EQ(known, kSettingsAll) << start.name;
    ASSERT_EQ(differences(before, before), "") << start.name << ": not read completely";

    for (const orvo::Command& row : orvo::kCommands) {
      for (int count = 0; count < orvo::kMaxTokens; ++count) {
        if (!orvo::command_sets(row, count)) continue;
        for (const std::string& line : form_lines(row, count)) {
          ++lines;
          daemon_state_set(state);
          ApplianceSettings model = before;
          SettingsNamed named = 0;
          const bool taken = settings_apply(&model, line.c_str(), &named);
          const bool acknowledged = daemon_request(line) != "NACK";
          const ApplianceSettings after = read_back(&known);
          std::string wrong;
          if (taken != acknowledged) {
            wrong = acknowledged ? " the model refuses it" : " the daemon refuses it";
          } else if (!acknowledged && daemon_state() != state) {
            wrong = " refused, but the daemon changed";
          } else if (!taken && (named != 0 || !differences(model, before).empty())) {
            wrong = " refused, but the model changed";
          } else {
            wrong = differences(model, after);
            // The null commands repaint the LED levels as a consequence of
            // the mask and colours they name.
            SettingsNamed unnamed = kNamedAll & ~named;
            if ((named & (kNamedMask | kNamedColours)) != 0) unnamed &= kNamedChannel1 - 1;
            if (settings_differences(before, after, unnamed) != 0) {
              wrong += " the daemon changed a setting the line does not name";
            }
          }
          if (known != kSettingsAll) wrong += " the settings do not read back";
          if (!wrong.empty() && ++mismatches <= 20) {
            ADD_FAILURE() << start.name << ": [" << line << "] model/daemon:" << wrong;
          }
        }
      }
    }
  }
  EXPECT_EQ(mismatches, 0) << "of " << lines << " lines";
  EXPECT_GT(lines, 5000);
}

// Lines that set nothing (queries, actions, the reading forms of a setting
// and forms that no command has) are not settings to the model, whatever
// the daemon makes of them.
TEST(SettingsModel, TakesOnlyTheFormsThatSetSomething) {
  for (const orvo::Command& row : orvo::kCommands) {
    for (int count = 0; count < 8; ++count) {
      std::string line = row.keyword;
      for (int i = 0; i < count; ++i) line += " 1";
      ApplianceSettings settings{};
      SettingsNamed named = 0;
      if (!orvo::command_sets(row, count)) {
        EXPECT_FALSE(settings_apply(&settings, line.c_str(), &named)) << line;
      }
    }
  }
  ApplianceSettings settings{};
  SettingsNamed named = 0;
  EXPECT_FALSE(settings_apply(&settings, "BOGUS 1", &named));
  EXPECT_FALSE(settings_apply(&settings, "TRACKING  1", &named));
  EXPECT_FALSE(settings_apply(&settings, "tracking 1", &named));
}

}  // namespace
