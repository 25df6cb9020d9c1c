#include "exporter/roster.h"

#include <arpa/inet.h>
#include <cerrno>
#include <sys/stat.h>

#include "site/site.h"

namespace exporter {

namespace {

constexpr size_t kLargestRoster = 16 << 20;

std::string address_text(uint32_t host_order) {
  char text[INET_ADDRSTRLEN];
  const in_addr address{htonl(host_order)};
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

// A whole decimal number of seconds, 0 or more.
bool seconds_read(const std::string& text, long long* value) {
  if (text.empty() || text.size() > 18) return false;
  long long n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  *value = n;
  return true;
}

}  // namespace

Roster::Roster(std::string folder, long long forget_after_seconds)
    : folder_(std::move(folder)),
      path_(folder_.empty() ? "" : folder_ + "/" + kRosterFile),
      forget_after_(forget_after_seconds) {}

void Roster::set_up(std::string folder, long long forget_after_seconds) {
  const std::lock_guard lock(mutex_);
  folder_ = std::move(folder);
  path_ = folder_.empty() ? "" : folder_ + "/" + kRosterFile;
  forget_after_ = forget_after_seconds;
  entries_.clear();
  inode_ = 0;
  size_ = -1;
}

bool Roster::load(std::vector<std::string>* problems) {
  const std::lock_guard lock(mutex_);
  return load_locked(problems);
}

bool Roster::load_locked(std::vector<std::string>* problems) {
  problems->clear();
  if (folder_.empty()) return true;
  struct stat status;
  const bool exists = stat(path_.c_str(), &status) == 0;
  std::string text;
  int error = 0;
  const std::string problem = site::file_read(path_, kLargestRoster, &text, &error);
  if (!problem.empty() && error != ENOENT) {
    problems->push_back(problem);
    return false;
  }
  entries_.clear();
  inode_ = exists ? status.st_ino : 0;
  size_ = exists ? status.st_size : -1;
  changed_ = exists ? status.st_mtim : timespec{};
  int number = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    if (line.empty() || line[0] == '#') continue;
    // ADDRESS FIRST LAST VIA VERSION: the version is the rest of the line.
    std::string fields[4];
    size_t at = 0;
    for (std::string& field : fields) {
      const size_t space = line.find(' ', at);
      field = line.substr(at, space == std::string::npos ? std::string::npos : space - at);
      at = space == std::string::npos ? line.size() + 1 : space + 1;
    }
    RosterEntry entry{0, 0, 0, fields[3], at <= line.size() ? line.substr(at) : ""};
    in_addr address;
    if (at > line.size() || inet_pton(AF_INET, fields[0].c_str(), &address) != 1 ||
        !seconds_read(fields[1], &entry.first_seen) || !seconds_read(fields[2], &entry.last_seen) ||
        fields[3].empty() || entry.version.find('\0') != std::string::npos) {
      problems->push_back(std::string(kRosterFile) + ":" + std::to_string(number) +
                          ": not ADDRESS FIRST_SEEN LAST_SEEN VIA VERSION (line left out)");
      continue;
    }
    if (!entry.version.empty() && entry.version.back() == '\r') entry.version.pop_back();
    entry.address = ntohl(address.s_addr);
    entries_[entry.address] = entry;
  }
  return true;
}

bool Roster::changed_locked() const {
  struct stat status;
  if (stat(path_.c_str(), &status) != 0) return size_ >= 0;
  return status.st_ino != inode_ || status.st_size != size_ ||
         status.st_mtim.tv_sec != changed_.tv_sec || status.st_mtim.tv_nsec != changed_.tv_nsec;
}

bool Roster::forgotten(const RosterEntry& entry, long long now) const {
  return now - entry.last_seen > forget_after_;
}

std::string Roster::save_locked() {
  std::string text = "# The appliances that orvo-exporter has discovered: ADDRESS FIRST_SEEN\n"
                     "# LAST_SEEN (unix seconds) VIA (the discovery's range) VERSION. To forget\n"
                     "# one, delete its line, then: systemctl reload orvo-exporter\n";
  for (const auto& [address, entry] : entries_) {
    text += address_text(address) + " " + std::to_string(entry.first_seen) + " " +
            std::to_string(entry.last_seen) + " " + entry.via + " " + entry.version + "\n";
  }
  const std::string problem = site::file_replace(folder_, kRosterFile, text, 0644);
  struct stat status;
  if (problem.empty() && stat(path_.c_str(), &status) == 0) {
    inode_ = status.st_ino;
    size_ = status.st_size;
    changed_ = status.st_mtim;
  }
  return problem;
}

std::string Roster::update(const std::vector<Sighting>& seen, const std::string& via,
                           long long now) {
  const std::lock_guard lock(mutex_);
  std::string problem;
  std::vector<std::string> problems;
  if (!folder_.empty() && changed_locked()) load_locked(&problems);
  for (const std::string& line : problems) problem += (problem.empty() ? "" : "; ") + line;
  for (const Sighting& sighting : seen) {
    RosterEntry& entry =
        entries_.try_emplace(sighting.address, RosterEntry{sighting.address, now, now, via, ""})
            .first->second;
    entry.last_seen = now;
    entry.via = via;
    entry.version = sighting.version;
  }
  for (auto at = entries_.begin(); at != entries_.end();) {
    at = forgotten(at->second, now) ? entries_.erase(at) : std::next(at);
  }
  if (folder_.empty()) return problem;
  const std::string saved = save_locked();
  return saved.empty() ? problem : problem.empty() ? saved : problem + "; " + saved;
}

std::vector<RosterEntry> Roster::listed(const AddressRange& range, const std::string& via,
                                        long long now) const {
  const std::lock_guard lock(mutex_);
  std::vector<RosterEntry> list;
  for (const auto& [address, entry] : entries_) {
    if (!forgotten(entry, now) &&
        ((range.first <= address && address <= range.last) || entry.via == via)) {
      list.push_back(entry);
    }
  }
  return list;
}

size_t Roster::size(long long now) const {
  const std::lock_guard lock(mutex_);
  size_t count = 0;
  for (const auto& [address, entry] : entries_) count += forgotten(entry, now) ? 0 : 1;
  return count;
}

bool SiteRooms::refresh(const std::string& folder, bool forced,
                        std::vector<std::string>* problems) {
  const std::lock_guard lock(mutex_);
  struct stat status;
  const bool exists =
      !folder.empty() && stat((folder + "/" + site::kSiteFile).c_str(), &status) == 0;
  const bool same = read_ && (exists ? status.st_ino == inode_ && status.st_size == size_ &&
                                           status.st_mtim.tv_sec == changed_.tv_sec &&
                                           status.st_mtim.tv_nsec == changed_.tv_nsec
                                     : size_ < 0);
  if (same && !forced) return false;
  read_ = true;
  inode_ = exists ? status.st_ino : 0;
  size_ = exists ? status.st_size : -1;
  changed_ = exists ? status.st_mtim : timespec{};
  *problems = folder.empty() ? std::vector<std::string>{} : site::site_read(folder, &rooms_);
  usable_ = problems->empty();
  return true;
}

std::vector<site::Room> SiteRooms::rooms() const {
  const std::lock_guard lock(mutex_);
  return rooms_;
}

bool SiteRooms::usable() const {
  const std::lock_guard lock(mutex_);
  return usable_;
}

}  // namespace exporter
