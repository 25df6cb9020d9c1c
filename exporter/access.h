// Who may ask the exporter, with HTTP basic authentication: a file of lines
// "user:crypt-hash" (as mkpasswd or htpasswd -B write them; '#' comments),
// each password checked with the C library's crypt_r. A password once
// matched is kept in memory, so that each scrape does not pay for the hash
// again; reading the file again forgets them.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace exporter {

class Users {
 public:
  // Reads the file in place of the users known: the problems (each
  // "FILE:LINE: why", such lines left out, or why the file cannot be read:
  // then nobody may ask). Any problem is a reason not to start.
  std::vector<std::string> load(const std::string& path);
  // Whether the user is in the file with that password.
  bool match(const std::string& user, const std::string& password) const;
  bool empty() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::string> hashes_;
  mutable std::map<std::string, std::string> matched_;
};

}  // namespace exporter
