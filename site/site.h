// The site file: which room each appliance is in. A folder (the exporter's
// --settings-dir, the panel's --state-dir) holds the rooms' settings files,
// each named by its room, and site.conf, one line per network:
//
//   # NET ROOM
//   192.0.2.10      hall
//   192.0.2.32/27   studio-2
//
// NET is an address or A.B.C.D/BITS; ROOM is 1 to 64 of A-Z a-z 0-9 _ -.
// Fields are separated by spaces or tabs; '#' starts a comment; blank lines
// are allowed. The first line whose NET holds an address gives its room. A
// line with anything else is unusable: the reader says why and goes on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/fleet.h"

namespace site {

inline constexpr const char kSiteFile[] = "site.conf";
inline constexpr size_t kLongestRoomName = 64;

struct Room {
  AddressRange net;
  std::string name;
};

// Whether a text may name a room (and so its settings file): 1 to 64 of
// A-Z a-z 0-9 _ - (no dot: no hidden file, no "..", no file's suffix).
bool room_name_valid(const std::string& name);

// Reads site.conf of the folder into rooms (in the file's order): the
// problems, each "site.conf:LINE: why" (or "site.conf: why" for the whole
// file), none when every line was usable. A missing file is no problem and
// no rooms.
std::vector<std::string> site_read(const std::string& folder, std::vector<Room>* rooms);

// A range as site.conf writes it ("A.B.C.D", or "A.B.C.D/BITS" for a
// network), or "" when it is neither.
std::string net_text(const AddressRange& net);

// The room of an address: the first that holds it, or nullptr.
const Room* site_room(const std::vector<Room>& rooms, uint32_t address);

// Writes site.conf of the folder, replacing it at once (a temporary file in
// the folder, synced, then renamed over it; mode 0644): "" or why not. Each
// room's net must be an address or a network (A.B.C.D/BITS), its name valid.
std::string site_write(const std::string& folder, const std::vector<Room>& rooms);

// Puts the address alone in the room, keeping everything else of site.conf
// as it is (comments, blank and unusable lines): a line for the address
// alone gets the new room, else one is put before the first line whose
// network holds the address (where it counts), or at the end. Written as
// site_write writes: "" or why not.
std::string site_assign(const std::string& folder, uint32_t address, const std::string& room);

// What site_write does for any file of a folder (a room's settings file, the
// exporter's roster): the text in place of the file name at once, with the
// mode given: "" or why not. A reader sees the old text or the new, never
// part of it.
std::string file_replace(const std::string& folder, const std::string& name,
                         const std::string& text, unsigned mode);

// A plain file, whole, when no larger than limit bytes: "" with its text,
// or why not (errno in *error: ENOENT for a missing file, EFBIG for one too
// large).
std::string file_read(const std::string& path, size_t limit, std::string* text, int* error);

}  // namespace site
