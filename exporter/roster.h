// The site roster: every appliance that discovery has found, with when it
// was first and last seen and its version, kept in the file "roster" of the
// exporter's state folder (or in memory alone, without one). /discover lists
// it, so that an appliance that misses a discovery (rebooting, busy, a lost
// datagram) stays a target: Prometheus then sees it down instead of losing
// it. An appliance silent for longer than the time to forget is dropped, and
// one whose line the operator deletes from the file is forgotten at once.
//
// The file, one appliance a line (times in unix seconds; '#' comments):
//   ADDRESS FIRST_SEEN LAST_SEEN VIA VERSION
// VIA is the discovery's range (or broadcast address) that last found it:
// a discovery lists the appliances in its range and those it found before.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

#include "client/fleet.h"
#include "site/site.h"

namespace exporter {

inline constexpr const char kRosterFile[] = "roster";

struct RosterEntry {
  uint32_t address;  // host byte order
  long long first_seen;
  long long last_seen;
  std::string via;
  std::string version;
};

// An appliance that answered a discovery.
struct Sighting {
  uint32_t address;
  std::string version;
};

class Roster {
 public:
  // folder: the state folder, or "" to keep the roster in memory alone.
  Roster(std::string folder, long long forget_after_seconds);
  // The same, on a roster made before: nothing read yet.
  void set_up(std::string folder, long long forget_after_seconds);

  // Reads the file again, in place of what is in memory (nothing without a
  // folder): the problems, each "roster:LINE: why" (such lines left out). A
  // missing file is an empty roster. false, with why in problems, when the
  // file cannot be read: what is in memory then stays.
  bool load(std::vector<std::string>* problems);

  // Takes in the appliances that a discovery saw at now: each is seen,
  // new ones are added; those silent for longer than the time to forget are
  // dropped. Reads the file first when it changed since it was last read or
  // written (an operator's edit wins), and writes it: "" or why it could not.
  std::string update(const std::vector<Sighting>& seen, const std::string& via, long long now);

  // The appliances not yet forgotten at now that are within range or were
  // last found through via, by address.
  std::vector<RosterEntry> listed(const AddressRange& range, const std::string& via,
                                  long long now) const;
  // How many appliances are listed at now, whatever their range.
  size_t size(long long now) const;

  const std::string& path() const { return path_; }

 private:
  bool load_locked(std::vector<std::string>* problems);
  bool forgotten(const RosterEntry& entry, long long now) const;
  std::string save_locked();
  bool changed_locked() const;

  std::string folder_;
  std::string path_;  // "" without a folder
  long long forget_after_;
  mutable std::mutex mutex_;
  std::map<uint32_t, RosterEntry> entries_;
  // The file as last read or written: its inode, size and change time.
  ino_t inode_ = 0;
  off_t size_ = -1;
  timespec changed_{};
};

// The rooms of site.conf in the settings folder, as last read: read again
// when the file changed (an atomic replacement, an edit) or on reload.
class SiteRooms {
 public:
  // Reads the file of the folder again when it changed since it was last
  // read, or when forced. Whether it was read, with its problems in *problems.
  bool refresh(const std::string& folder, bool forced, std::vector<std::string>* problems);
  std::vector<site::Room> rooms() const;
  // Whether the file was read without a problem (or is not there).
  bool usable() const;

 private:
  mutable std::mutex mutex_;
  std::vector<site::Room> rooms_;
  bool usable_ = true;
  bool read_ = false;
  ino_t inode_ = 0;
  off_t size_ = -1;
  timespec changed_{};
};

}  // namespace exporter
