// The settings folder: a room's settings file by its name, read and taken
// apart into the commands that the probe compares an appliance with.
//
// A file that is missing, cannot be read or is unusable never costs the
// probe: the appliance's readings are reported all the same, with the file's
// problem. Unusable is a file that is not a plain file of at most 1 MiB,
// holds a NUL byte or a line too long for a request, has a line that is not
// a setting the comparison knows, names no setting at all (empty, or only
// comments: a file that a shell redirect has only begun to write), or whose
// last line has no line feed (one that is still being written). Such a file
// is compared with nothing: half a file would tell of less drift than there
// is.
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
  ~SettingsFile() {
    free(commands.lines);
    free(commands.numbers);
  }
  std::string name;
  // Set once the file was read whole (also when unusable).
  bool read = false;
  std::string sha256;      // of its bytes, in hex
  long long modified = 0;  // its modification time, unix seconds
  // "" when its commands are usable, else why not.
  std::string problem;
  std::string text;
  Commands commands{};
};

// Whether settings NAME may be looked up at all: a settings folder given, and
// a name of a file right in it. "" or why not (the request's fault).
std::string settings_name_check(const std::string& folder, const std::string& name);

// Reads the settings file NAME of the folder (its name checked) and takes its
// commands apart; file->problem says why it cannot be compared with.
void settings_load(const std::string& folder, const std::string& name, SettingsFile* file);

}  // namespace exporter
