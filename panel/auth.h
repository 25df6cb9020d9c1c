// Who may use the panel. On loopback: whoever opens the address the panel
// printed at start, whose fragment carries a one-time token; elsewhere: the
// users of a password file of crypt hashes ("user:hash" lines), with a pause
// that doubles after each failed attempt from an address. Either way the
// reward is a session: a random id in the cookie orvo_session, ended after
// a while without use and after a longest time whatever its use.
//
// Times are milliseconds on a clock that never jumps (client's clock_ms),
// given by the caller. Safe to use from any number of threads.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace panel {

inline constexpr const char kSessionCookie[] = "orvo_session";
inline constexpr long long kSessionIdleMs = 30LL * 60 * 1000;
inline constexpr long long kSessionLongestMs = 12LL * 3600 * 1000;
inline constexpr long long kLongestPauseMs = 30000;

// Whether two texts are equal, in a time that depends on their lengths only.
bool same_text(const std::string& a, const std::string& b);

// bytes random bytes (from getrandom) as lower-case hex; "" when the system
// has none to give.
std::string random_hex(std::size_t bytes);

// The values of the cookie named name in a Cookie header ("a=1; b=2"), in
// the order given.
std::vector<std::string> cookie_values(const std::string& header, const char* name);

class Auth {
 public:
  // token: the one-time token ("" for none); secure: the cookie only over
  // HTTPS.
  Auth(std::string token, bool secure);

  // Reads (again) the password file: "" or why not (then the accounts stay
  // as they were). Lines "user:hash"; blank lines and lines starting with
  // '#' are skipped.
  std::string accounts_read(const std::string& path);
  std::size_t accounts() const;

  // A new one-time token in place of the last one (used or not).
  void token_renew(std::string token);

  enum class Login { kDone, kRefused, kPaused };
  // A login form's fields, from peer (IPv4, host byte order): the token, or
  // a user and password. kDone with the new session's id; kPaused with the
  // seconds to wait.
  Login login(const std::string* token, const std::string* user, const std::string* password,
              std::uint32_t peer, long long now_ms, std::string* session, int* retry_after_s);

  // The session a Cookie header names, when it is alive: its id. A use
  // (refresh) restarts its idle time.
  bool session(const std::string* cookie_header, long long now_ms, bool refresh, std::string* id);
  // Whether the session is still alive (for streams, which do not count as use).
  bool alive(const std::string& id, long long now_ms);

  // The Set-Cookie value for a session.
  std::string cookie(const std::string& id) const;

 private:
  struct Account {
    std::string user;
    std::string hash;
  };
  struct Session {
    std::string id;
    long long started_ms;
    long long used_ms;
  };
  struct Failures {
    std::uint32_t peer;
    int count;
    long long until_ms;
  };
  bool password_matches(const std::string& user, const std::string& password) const;
  void sessions_expire_locked(long long now_ms);
  Session* session_locked(const std::string& id, long long now_ms);
  Failures* failures_locked(std::uint32_t peer, long long now_ms, bool add);

  mutable std::mutex mutex_;
  std::string token_;
  bool token_used_ = false;
  bool secure_;
  std::vector<Account> accounts_;
  std::vector<Session> sessions_;
  std::vector<Failures> failures_;
};

}  // namespace panel
