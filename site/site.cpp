#include "site/site.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace site {

namespace {

constexpr size_t kLargestSiteFile = 1 << 20;

// A field of a line as a message shows it: control bytes as '?', at most 64
// bytes of it.
std::string shown(const std::string& field) {
  std::string text = field.substr(0, kLongestRoomName);
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < ' ' || c == 0x7F) c = '?';
  }
  return field.size() > kLongestRoomName ? text + "..." : text;
}

std::string why(int error) { return strerror(error); }

}  // namespace

bool room_name_valid(const std::string& name) {
  if (name.empty() || name.size() > kLongestRoomName) return false;
  for (const char c : name) {
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!letter && !(c >= '0' && c <= '9') && c != '_' && c != '-') return false;
  }
  return true;
}

std::string file_read(const std::string& path, size_t limit, std::string* text, int* error) {
  text->clear();
  *error = 0;
  // No FIFO or device is ever waited on.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return path + " cannot be opened (" + why(*error) + ")";
  }
  struct stat status;
  std::string problem;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    *error = EINVAL;
    problem = path + " is not a plain file";
  }
  char chunk[4096];
  for (ssize_t got = 1; problem.empty() && got > 0;) {
    got = read(fd, chunk, sizeof chunk);
    if (got < 0) {
      *error = errno;
      problem = path + " cannot be read (" + why(*error) + ")";
    } else if (text->size() + static_cast<size_t>(got) > limit) {
      *error = EFBIG;
      problem = path + " is larger than " + std::to_string(limit) + " bytes";
    } else {
      text->append(chunk, static_cast<size_t>(got));
    }
  }
  close(fd);
  if (!problem.empty()) text->clear();
  return problem;
}

std::string file_replace(const std::string& folder, const std::string& name,
                         const std::string& text, unsigned mode) {
  // The temporary file begins with a dot: never a room's name, and hidden.
  std::string temporary = folder + "/." + name + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return "cannot write in " + folder + " (" + why(errno) + ")";
  std::string problem;
  for (size_t done = 0; problem.empty() && done < text.size();) {
    const ssize_t put = write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno != EINTR) problem = "cannot write " + temporary + " (" + why(errno) + ")";
    if (put > 0) done += static_cast<size_t>(put);
  }
  if (problem.empty() && fchmod(fd, mode) != 0) problem = "cannot set the mode of " + temporary;
  if (problem.empty() && fsync(fd) != 0) {
    problem = "cannot write " + temporary + " (" + why(errno) + ")";
  }
  if (close(fd) != 0 && problem.empty()) {
    problem = "cannot write " + temporary + " (" + why(errno) + ")";
  }
  const std::string path = folder + "/" + name;
  if (problem.empty() && rename(temporary.c_str(), path.c_str()) != 0) {
    problem = "cannot replace " + path + " (" + why(errno) + ")";
  }
  if (!problem.empty()) {
    unlink(temporary.c_str());
    return problem;
  }
  // The rename itself lasts once the folder is on disk.
  const int directory = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    fsync(directory);
    close(directory);
  }
  return "";
}

namespace {

enum LineKind { kLineBlank, kLineRoom, kLineUnusable };

// One line of site.conf (without its line feed): blank (or a comment), a
// room, or unusable with why.
LineKind line_read(std::string line, Room* room, std::string* problem) {
  if (line.find('\0') != std::string::npos) {
    *problem = "a NUL byte";
    return kLineUnusable;
  }
  line = line.substr(0, line.find('#'));
  std::vector<std::string> fields;
  for (size_t p = 0; p < line.size();) {
    const size_t field = line.find_first_not_of(" \t\r", p);
    if (field == std::string::npos) break;
    p = line.find_first_of(" \t\r", field);
    if (p == std::string::npos) p = line.size();
    fields.push_back(line.substr(field, p - field));
  }
  if (fields.empty()) return kLineBlank;
  if (fields.size() != 2) {
    *problem = "not a network and a room name: '" + shown(line) + "'";
  } else if (!range_parse(fields[0].c_str(), 0, &room->net)) {
    *problem = "not an address or network (A.B.C.D or A.B.C.D/BITS): '" + shown(fields[0]) + "'";
  } else if (!room_name_valid(fields[1])) {
    *problem = "not a room name (1 to 64 of A-Z a-z 0-9 _ -): '" + shown(fields[1]) + "'";
  } else {
    room->name = fields[1];
    return kLineRoom;
  }
  return kLineUnusable;
}

// The lines of a text, without their line feeds.
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

constexpr const char kSiteHeader[] =
    "# NET ROOM: the appliances of the address or network NET (A.B.C.D/BITS) are in\n"
    "# ROOM, whose settings file is the file ROOM of this folder. The first line\n"
    "# that holds an address counts.\n";

}  // namespace

std::vector<std::string> site_read(const std::string& folder, std::vector<Room>* rooms) {
  rooms->clear();
  std::string text;
  int error = 0;
  const std::string problem = file_read(folder + "/" + kSiteFile, kLargestSiteFile, &text, &error);
  if (error == ENOENT) return {};
  if (!problem.empty()) return {std::string(kSiteFile) + ": " + problem};
  std::vector<std::string> problems;
  int number = 0;
  for (const std::string& line : lines_of(text)) {
    ++number;
    Room room;
    std::string why_not;
    const LineKind kind = line_read(line, &room, &why_not);
    if (kind == kLineRoom) rooms->push_back(room);
    if (kind == kLineUnusable) {
      problems.push_back(std::string(kSiteFile) + ":" + std::to_string(number) + ": " + why_not);
    }
  }
  return problems;
}

std::string site_assign(const std::string& folder, uint32_t address, const std::string& room) {
  if (!room_name_valid(room)) return "not a room name: '" + shown(room) + "'";
  std::string text;
  int error = 0;
  const std::string problem = file_read(folder + "/" + kSiteFile, kLargestSiteFile, &text, &error);
  if (!problem.empty() && error != ENOENT) return problem;
  const std::string entry = net_text(AddressRange{address, address}) + " " + room;
  std::vector<std::string> lines = lines_of(text);
  size_t at = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    Room read;
    std::string why_not;
    if (line_read(lines[i], &read, &why_not) != kLineRoom) continue;
    if (read.net.first == address && read.net.last == address) {
      if (read.name == room) return "";
      // The line's own comment stays with it.
      const size_t comment = lines[i].find('#');
      lines[i] = entry + (comment == std::string::npos ? "" : " " + lines[i].substr(comment));
      at = lines.size() + 1;
      break;
    }
    if (at == lines.size() && read.net.first <= address && address <= read.net.last) at = i;
  }
  if (at <= lines.size()) lines.insert(lines.begin() + static_cast<long>(at), entry);
  std::string written = text.empty() ? kSiteHeader : "";
  for (const std::string& line : lines) written += line + "\n";
  return file_replace(folder, kSiteFile, written, 0644);
}

std::string net_text(const AddressRange& net) {
  const uint32_t size_less_one = net.last - net.first;
  int bits = 32;
  while (bits > 0 && (size_less_one >> (32 - bits)) != 0) --bits;
  const uint32_t mask = bits == 0 ? 0 : 0xFFFFFFFFu << (32 - bits);
  if (net.first > net.last || (net.first & ~mask) != 0 || (net.first | ~mask) != net.last) {
    return "";
  }
  char text[INET_ADDRSTRLEN];
  const in_addr address{htonl(net.first)};
  inet_ntop(AF_INET, &address, text, sizeof text);
  return bits == 32 ? std::string(text) : std::string(text) + "/" + std::to_string(bits);
}

const Room* site_room(const std::vector<Room>& rooms, uint32_t address) {
  for (const Room& room : rooms) {
    if (room.net.first <= address && address <= room.net.last) return &room;
  }
  return nullptr;
}

std::string site_write(const std::string& folder, const std::vector<Room>& rooms) {
  std::string text = kSiteHeader;
  for (const Room& room : rooms) {
    const std::string net = net_text(room.net);
    if (net.empty()) return "not an address or network: a room's addresses";
    if (!room_name_valid(room.name)) return "not a room name: '" + shown(room.name) + "'";
    text += net + " " + room.name + "\n";
  }
  return file_replace(folder, kSiteFile, text, 0644);
}

}  // namespace site
