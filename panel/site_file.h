// site.conf: which appliance belongs to which room (the site module's
// interface, until that module is merged).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/fleet.h"

namespace site {

struct Room {
  AddressRange net;
  std::string name;
};

// Reads FOLDER/site.conf into rooms (the usable lines, in order): the
// problems, "site.conf:LINE: why" each.
std::vector<std::string> site_read(const std::string& folder, std::vector<Room>* rooms);
// The room of the first line whose network holds the address, or nullptr.
const Room* site_room(const std::vector<Room>& rooms, std::uint32_t address);
// 1-64 of A-Za-z0-9_-.
bool room_name_valid(const std::string& name);
// Writes FOLDER/site.conf atomically: "" or why not.
std::string site_write(const std::string& folder, const std::vector<Room>& rooms);

}  // namespace site
