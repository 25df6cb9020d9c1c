// The settings folder: a room's settings file by its name, read and taken
// apart into the commands that the probe compares an appliance with.
#pragma once

#include <cstdlib>
#include <string>

#include "client/parse.h"

namespace exporter {

// The commands of a settings file, and the text they point into.
struct SettingsFile {
  SettingsFile() = default;
  SettingsFile(const SettingsFile&) = delete;
  SettingsFile& operator=(const SettingsFile&) = delete;
  std::string text;
  Commands commands{};
  ~SettingsFile() {
    free(commands.lines);
    free(commands.numbers);
  }
};

// Opens the settings file NAME of the folder (empty: none given) and takes
// its commands apart: "", or why not.
std::string settings_load(const std::string& folder, const std::string& name, SettingsFile* file);

}  // namespace exporter
