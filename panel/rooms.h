// Rooms: an appliance's settings kept as a file in the state folder, in
// exactly orvo-udpc -s's form, and that file applied to many appliances at
// once with orvo-udpc -a's rules. site.conf says which appliance belongs to
// which room; the exporter reads the same folder to watch them for drift.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/parse.h"
#include "client/settings.h"
#include "panel/site_model.h"

namespace panel {

// A room's file and its commands (which point into the text).
struct RoomFile {
  RoomFile() = default;
  RoomFile(const RoomFile&) = delete;
  RoomFile& operator=(const RoomFile&) = delete;
  ~RoomFile();
  std::string text;
  Commands commands{};
};

// Reads the room's file from the folder (a plain file right in it, at most
// 1 MiB, no link followed) and takes its commands apart: "" or why not.
std::string room_file_read(const std::string& folder, const std::string& room, RoomFile* file);

// What the room's file would make of the settings now: the settings it
// names, and the settings afterwards. "" or why not (a line that is not a
// setting, "ROOM:LINE: ...").
std::string room_expected(const std::string& room, const RoomFile& file,
                          const ApplianceSettings& now, ApplianceSettings* expected,
                          SettingsNamed* named);

// Reads the appliance's settings now and writes them as room ROOM (the
// room name checked; written atomically, mode 0644), then puts "ADDRESS
// ROOM" into site.conf (before any line whose network holds the address).
// "" or why not, with *refusal.
std::string room_save(SiteModel& model, const std::string& address, const std::string& room,
                      Refusal* refusal);

// The settings (by their names: "tracking", "eq_band_1", "led_channel_3"...)
// in which the appliance, read now, differs from the room's file.
std::string room_differences(SiteModel& model, const std::string& address, const std::string& room,
                             std::vector<std::string>* names, Refusal* refusal);

// The room's file sent to each appliance, all at once (one request
// outstanding per appliance, resends, a refusal ends that appliance's
// exchange). line: the file's line that a refused or unanswered appliance
// stopped at; 0 when done.
struct ApplyResult {
  std::string address;
  Outcome outcome = Outcome::kSilent;
  int line = 0;
};
std::string room_apply(SiteModel& model, const std::string& room,
                       const std::vector<std::string>& addresses, std::vector<ApplyResult>* results,
                       Refusal* refusal);

// The appliance's settings read now, as orvo-udpc -s prints them.
std::string snapshot_text(SiteModel& model, const std::string& address, std::string* text,
                          Refusal* refusal);

// The JSON of room_apply's results: {"results":[{"address":..,"outcome":..,"line":N}]}.
std::string apply_json(const std::vector<ApplyResult>& results);

}  // namespace panel
