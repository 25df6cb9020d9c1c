#include "panel/auth.h"

#include <cerrno>
#include <crypt.h>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sys/random.h>

namespace panel {

namespace {

// At most this many sessions at once (the least recently used one goes),
// and this many addresses with failed attempts remembered.
constexpr std::size_t kMostSessions = 64;
constexpr std::size_t kMostFailures = 4096;
// Failures are forgotten after this long without another.
constexpr long long kFailuresKeptMs = 15LL * 60 * 1000;
constexpr std::size_t kIdBytes = 32;

bool hex_id(const std::string& text) {
  if (text.size() != 2 * kIdBytes) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace

bool same_text(const std::string& a, const std::string& b) {
  const std::size_t size = a.size() > b.size() ? a.size() : b.size();
  unsigned char difference = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < size; ++i) {
    const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    difference |= x ^ y;
  }
  return difference == 0;
}

std::string random_hex(std::size_t bytes) {
  std::string raw(bytes, '\0');
  for (std::size_t got = 0; got < bytes;) {
    const ssize_t n = getrandom(raw.data() + got, bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return "";
    got += static_cast<std::size_t>(n);
  }
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const char c : raw) {
    hex += kDigits[static_cast<unsigned char>(c) >> 4];
    hex += kDigits[static_cast<unsigned char>(c) & 15];
  }
  return hex;
}

std::vector<std::string> cookie_values(const std::string& header, const char* name) {
  std::vector<std::string> values;
  const std::string wanted = name;
  for (std::size_t start = 0; start <= header.size();) {
    std::size_t end = header.find(';', start);
    if (end == std::string::npos) end = header.size();
    std::size_t first = start;
    while (first < end && (header[first] == ' ' || header[first] == '\t')) ++first;
    const std::size_t equals = header.find('=', first);
    if (equals != std::string::npos && equals < end &&
        header.compare(first, equals - first, wanted) == 0) {
      std::size_t last = end;
      while (last > equals + 1 && (header[last - 1] == ' ' || header[last - 1] == '\t')) --last;
      values.push_back(header.substr(equals + 1, last - equals - 1));
    }
    start = end + 1;
  }
  return values;
}

Auth::Auth(std::string token, bool secure) : token_(std::move(token)), secure_(secure) {}

std::string Auth::accounts_read(const std::string& path) {
  std::ifstream file(path);
  if (!file) return "cannot read the password file " + path;
  std::vector<Account> accounts;
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::size_t colon = line.find(':');
    if (colon == 0 || colon == std::string::npos || colon + 1 == line.size() ||
        line.find_first_of(" \t", 0) != std::string::npos) {
      return path + ":" + std::to_string(number) + ": not \"user:crypt-hash\"";
    }
    accounts.push_back(Account{line.substr(0, colon), line.substr(colon + 1)});
  }
  if (accounts.empty()) return "no user in the password file " + path;
  const std::lock_guard lock(mutex_);
  accounts_ = std::move(accounts);
  return "";
}

std::size_t Auth::accounts() const {
  const std::lock_guard lock(mutex_);
  return accounts_.size();
}

void Auth::token_renew(std::string token) {
  const std::lock_guard lock(mutex_);
  token_ = std::move(token);
  token_used_ = false;
}

bool Auth::password_matches(const std::string& user, const std::string& password) const {
  std::string hash;
  bool known = false;
  {
    const std::lock_guard lock(mutex_);
    for (const Account& account : accounts_) {
      // Every account is looked at, so that the time does not tell which.
      if (same_text(account.user, user) && !known) {
        hash = account.hash;
        known = true;
      }
    }
    // An unknown user costs a hash too.
    if (!known && !accounts_.empty()) hash = accounts_.front().hash;
  }
  if (hash.empty()) return false;
  auto data = std::make_unique<crypt_data>();
  const char* computed = crypt_r(password.c_str(), hash.c_str(), data.get());
  // libcrypt's failures start with '*' and never equal a hash.
  return known && computed != nullptr && computed[0] != '*' && same_text(computed, hash);
}

Auth::Failures* Auth::failures_locked(std::uint32_t peer, long long now_ms, bool add) {
  for (auto it = failures_.begin(); it != failures_.end();) {
    if (now_ms - it->until_ms > kFailuresKeptMs) {
      it = failures_.erase(it);
    } else {
      ++it;
    }
  }
  for (Failures& failures : failures_) {
    if (failures.peer == peer) return &failures;
  }
  if (!add) return nullptr;
  if (failures_.size() >= kMostFailures) failures_.erase(failures_.begin());
  failures_.push_back(Failures{peer, 0, now_ms});
  return &failures_.back();
}

Auth::Login Auth::login(const std::string* token, const std::string* user,
                        const std::string* password, std::uint32_t peer, long long now_ms,
                        std::string* session, int* retry_after_s) {
  {
    const std::lock_guard lock(mutex_);
    const Failures* failures = failures_locked(peer, now_ms, false);
    if (failures != nullptr && now_ms < failures->until_ms) {
      *retry_after_s = static_cast<int>((failures->until_ms - now_ms + 999) / 1000);
      return Login::kPaused;
    }
  }
  bool granted = false;
  if (token != nullptr && user == nullptr && password == nullptr) {
    const std::lock_guard lock(mutex_);
    granted = !token_.empty() && !token_used_ && same_text(*token, token_);
    if (granted) token_used_ = true;
  } else if (token == nullptr && user != nullptr && password != nullptr) {
    granted = password_matches(*user, *password);
  }
  const std::lock_guard lock(mutex_);
  if (!granted) {
    Failures* failures = failures_locked(peer, now_ms, true);
    const int doublings = failures->count < 5 ? failures->count : 5;
    const long long pause = 1000LL << doublings;
    failures->until_ms = now_ms + (pause < kLongestPauseMs ? pause : kLongestPauseMs);
    ++failures->count;
    return Login::kRefused;
  }
  for (auto it = failures_.begin(); it != failures_.end(); ++it) {
    if (it->peer == peer) {
      failures_.erase(it);
      break;
    }
  }
  *session = random_hex(kIdBytes);
  if (session->empty()) return Login::kRefused;
  sessions_expire_locked(now_ms);
  if (sessions_.size() >= kMostSessions) {
    auto oldest = sessions_.begin();
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
      if (it->used_ms < oldest->used_ms) oldest = it;
    }
    sessions_.erase(oldest);
  }
  sessions_.push_back(Session{*session, now_ms, now_ms});
  return Login::kDone;
}

void Auth::sessions_expire_locked(long long now_ms) {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (now_ms - it->used_ms >= kSessionIdleMs || now_ms - it->started_ms >= kSessionLongestMs) {
      it = sessions_.erase(it);
    } else {
      ++it;
    }
  }
}

Auth::Session* Auth::session_locked(const std::string& id, long long now_ms) {
  sessions_expire_locked(now_ms);
  Session* found = nullptr;
  for (Session& session : sessions_) {
    if (same_text(session.id, id) && found == nullptr) found = &session;
  }
  return found;
}

bool Auth::session(const std::string* cookie_header, long long now_ms, bool refresh,
                   std::string* id) {
  if (cookie_header == nullptr) return false;
  const std::lock_guard lock(mutex_);
  for (const std::string& value : cookie_values(*cookie_header, kSessionCookie)) {
    if (!hex_id(value)) continue;
    Session* session = session_locked(value, now_ms);
    if (session == nullptr) continue;
    if (refresh) session->used_ms = now_ms;
    *id = session->id;
    return true;
  }
  return false;
}

bool Auth::alive(const std::string& id, long long now_ms) {
  const std::lock_guard lock(mutex_);
  return session_locked(id, now_ms) != nullptr;
}

std::string Auth::cookie(const std::string& id) const {
  return std::string(kSessionCookie) + "=" + id + "; Path=/; HttpOnly; SameSite=Strict" +
         (secure_ ? "; Secure" : "");
}

}  // namespace panel
