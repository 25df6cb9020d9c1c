#include "exporter/access.h"

#include <cerrno>
#include <crypt.h>
#include <memory>

#include "site/site.h"

namespace exporter {

namespace {

constexpr size_t kLargestUsersFile = 1 << 20;

// Equal texts, in a time that does not tell how much of them is equal.
bool same(const std::string& a, const std::string& b) {
  unsigned char difference = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
  }
  return difference == 0;
}

}  // namespace

std::vector<std::string> Users::load(const std::string& path) {
  std::string text;
  int error = 0;
  const std::string problem = site::file_read(path, kLargestUsersFile, &text, &error);
  const std::lock_guard lock(mutex_);
  hashes_.clear();
  matched_.clear();
  if (!problem.empty()) return {problem};
  std::vector<std::string> problems;
  int number = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const size_t colon = line.find(':');
    const std::string at = path + ":" + std::to_string(number) + ": ";
    if (colon == 0 || colon == std::string::npos || colon + 1 == line.size() ||
        line.find_first_of(" \t", colon) != std::string::npos || line[colon + 1] == '*' ||
        line[colon + 1] == '!') {
      problems.push_back(at + "not user:crypt-hash");
    } else {
      hashes_[line.substr(0, colon)] = line.substr(colon + 1);
    }
  }
  return problems;
}

bool Users::match(const std::string& user, const std::string& password) const {
  std::string hash;
  {
    const std::lock_guard lock(mutex_);
    const auto found = hashes_.find(user);
    if (found == hashes_.end()) return false;
    const auto known = matched_.find(user);
    if (known != matched_.end() && same(known->second, password)) return true;
    hash = found->second;
  }
  // crypt_data is large (about 32 KiB): not on a connection thread's stack.
  auto data = std::make_unique<crypt_data>();
  const char* result = crypt_r(password.c_str(), hash.c_str(), data.get());
  // A hash that crypt does not know gives "*0" or similar, never the hash.
  if (result == nullptr || result[0] == '*' || !same(result, hash) ||
      password.find('\0') != std::string::npos) {
    return false;
  }
  const std::lock_guard lock(mutex_);
  matched_[user] = password;
  return true;
}

bool Users::empty() const {
  const std::lock_guard lock(mutex_);
  return hashes_.empty();
}

}  // namespace exporter
