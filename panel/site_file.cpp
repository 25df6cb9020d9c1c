#include "panel/site_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace site {

std::vector<std::string> site_read(const std::string& folder, std::vector<Room>* rooms) {
  rooms->clear();
  std::vector<std::string> problems;
  std::ifstream file(folder + "/site.conf");
  if (!file) return problems;
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    for (char& c : line) c = c == '\t' ? ' ' : c;
    std::istringstream words(line);
    std::string net, name, more;
    if (!(words >> net)) continue;
    Room room;
    if (!(words >> name) || (words >> more)) {
      problems.push_back("site.conf:" + std::to_string(number) + ": not NET ROOM");
    } else if (!range_parse(net.c_str(), 0, &room.net)) {
      problems.push_back("site.conf:" + std::to_string(number) + ": not an address or network");
    } else if (!room_name_valid(name)) {
      problems.push_back("site.conf:" + std::to_string(number) + ": not a room name");
    } else {
      room.name = name;
      rooms->push_back(room);
    }
  }
  return problems;
}

const Room* site_room(const std::vector<Room>& rooms, std::uint32_t address) {
  for (const Room& room : rooms) {
    if (address >= room.net.first && address <= room.net.last) return &room;
  }
  return nullptr;
}

bool room_name_valid(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (const char c : name) {
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
          c == '-'))
      return false;
  }
  return true;
}

std::string site_write(const std::string& folder, const std::vector<Room>& rooms) {
  std::string text;
  for (const Room& room : rooms) {
    const uint32_t a = room.net.first;
    char net[40];
    int bits = 32;
    while (bits > 0 && (room.net.last - room.net.first) >> (32 - bits) != 0) --bits;
    snprintf(net, sizeof net, "%u.%u.%u.%u", a >> 24, a >> 16 & 0xFF, a >> 8 & 0xFF, a & 0xFF);
    text += net;
    if (bits < 32) {
      text += '/';
      text += std::to_string(bits);
    }
    text += " " + room.name + "\n";
  }
  std::string path = folder + "/.site.conf.XXXXXX";
  const int fd = mkstemp(path.data());
  if (fd < 0) return "cannot write in " + folder + ": " + strerror(errno);
  bool ok = fchmod(fd, 0644) == 0 &&
            write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
            fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(path.c_str(), (folder + "/site.conf").c_str()) != 0) {
    const int error = errno;
    unlink(path.c_str());
    return "cannot write " + folder + "/site.conf: " + strerror(error);
  }
  return "";
}

}  // namespace site
