// orvo-panel's rules for requests, against the real program on a virtual
// site: it runs in the client's network on 127.0.0.1 and is asked over HTTP
// there, as a browser on that host would. Every request it must refuse is
// refused before anything reaches an appliance: two listeners on the site
// count what arrives, one within the targets and one outside. Then the way
// it is meant to be used, once: the token traded for a session, a line sent
// and its reply, and the event stream telling of a change made by another
// tool.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "protocol/protocol.h"
#include "sim/process.h"
#include "sim/site.h"

using namespace std::chrono_literals;

namespace {

constexpr int kPort = 9495;
const std::string kSelf = "127.0.0.1:9495";
const std::string kOrigin = "http://127.0.0.1:9495";
// The panel may talk to 192.0.2.0-15: the appliance (.10) and a listener
// that never answers (.5); .20, a listener too, is outside.
const std::string kTargets = "192.0.2.0/28";
const std::string kWithin = "192.0.2.5";
const std::string kOutside = "192.0.2.20";
const std::string kCsp =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'";

struct Response {
  int status = 0;  // 0: no answer
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::string header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
      if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
    }
    return "";
  }
};

Response response_parse(const std::string& all) {
  Response response;
  std::smatch head;
  if (std::regex_search(all, head, std::regex("^HTTP/1\\.[01] (\\d{3}) "))) {
    response.status = std::stoi(head[1]);
  }
  const size_t end = all.find("\r\n\r\n");
  size_t line = all.find("\r\n");
  while (line != std::string::npos && line < end) {
    const size_t next = all.find("\r\n", line + 2);
    const std::string text = all.substr(line + 2, next - line - 2);
    const size_t colon = text.find(':');
    if (colon != std::string::npos) {
      response.headers.emplace_back(text.substr(0, colon),
                                    text.substr(text.find_first_not_of(' ', colon + 1)));
    }
    line = next;
  }
  if (end != std::string::npos) response.body = all.substr(end + 4);
  return response;
}

// A UDP socket of the client's host at address:49494 that never answers,
// and counts what arrives.
class Listener {
 public:
  Listener(const sim::Site& site, const std::string& address) {
    fd_ = site.client_host().open_udp();
    sockaddr_in own{};
    own.sin_family = AF_INET;
    own.sin_port = htons(orvo::kControlPort);
    inet_pton(AF_INET, address.c_str(), &own.sin_addr);
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&own), sizeof own) == 0;
  }
  ~Listener() { close(fd_); }
  bool bound() const { return bound_; }
  // The datagrams received since the last call; waits up to timeout for the first.
  int received(std::chrono::milliseconds timeout) const {
    int count = 0;
    pollfd ready{fd_, POLLIN, 0};
    for (int wait = static_cast<int>(timeout.count()); poll(&ready, 1, wait) > 0; wait = 0) {
      char datagram[2048];
      if (recv(fd_, datagram, sizeof datagram, 0) < 0) break;
      ++count;
    }
    return count;
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

class PanelSecurity : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/orvo-panel-test.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    state = folder;
  }

  void TearDown() override {
    if (panel > 0) {
      kill(panel, SIGTERM);
      sim::wait_exit(panel, 10s);
      sim::kill_child(panel);
    }
    if (out >= 0) close(out);
    site.reset();
    if (!state.empty()) sim::run({"/bin/rm", "-rf", state}, 10s);
  }

  std::vector<std::string> argv(std::vector<std::string> more) const {
    std::vector<std::string> all = {ORVO_PANEL_PATH, "--targets", kTargets,
                                    "--state-dir",   state,       "--pages",
                                    ORVO_PAGES_DIR,  "--timeout", "1"};
    all.insert(all.end(), more.begin(), more.end());
    return all;
  }

  // The panel in the client's network; its first line of output.
  std::string start() {
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC) != 0) return "";
    sim::SpawnOptions options;
    options.net_ns = site->client_host().network_namespace();
    options.out = pipe_ends[1];
    options.die_with_parent = true;
    panel = sim::spawn(argv({"--listen", kSelf}), options);
    close(pipe_ends[1]);
    out = pipe_ends[0];
    return line_read();
  }

  // The panel's next line of output (10 s at most).
  std::string line_read() const {
    std::string line;
    pollfd ready{out, POLLIN, 0};
    while (line.find('\n') == std::string::npos && poll(&ready, 1, 10000) > 0) {
      char c;
      if (read(out, &c, 1) != 1) break;
      line += c;
    }
    return line;
  }

  int connect_panel() const {
    const int fd = site->client_host().open_socket(SOCK_STREAM);
    const timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }

  // One request as HTTP/1.0 (the answer ends with the connection); headers
  // as "Name: value" lines each ending in CRLF; a POST's body a form.
  Response ask(const std::string& method, const std::string& target, const std::string& headers,
               const std::string& form = "") const {
    std::string request = method + " " + target + " HTTP/1.0\r\n" + headers;
    if (method == "POST") {
      request += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                 std::to_string(form.size()) + "\r\n";
    }
    request += "\r\n" + form;
    const int fd = connect_panel();
    std::string all;
    if (fd >= 0 && send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                       static_cast<ssize_t>(request.size())) {
      char chunk[4096];
      for (ssize_t got; (got = recv(fd, chunk, sizeof chunk, 0)) > 0;) all.append(chunk, got);
    }
    if (fd >= 0) close(fd);
    return response_parse(all);
  }

  // The headers of a change from the panel's own page, with the session.
  std::string from_page() const {
    return "Host: " + kSelf + "\r\nOrigin: " + kOrigin +
           "\r\nSec-Fetch-Site: same-origin\r\nX-Orvo-Panel: 1\r\nCookie: orvo_session=" + session +
           "\r\n";
  }

  std::unique_ptr<sim::Site> site;
  std::string state;
  pid_t panel = -1;
  int out = -1;
  std::string session;
};

// Reads a stream until its text matches the pattern; false after 20 s.
bool read_until(int fd, std::string* text, const std::regex& pattern) {
  for (int rounds = 0; rounds < 40; ++rounds) {
    if (std::regex_search(*text, pattern)) return true;
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, 500) <= 0) continue;
    char chunk[4096];
    const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) return false;
    text->append(chunk, static_cast<size_t>(got));
  }
  return std::regex_search(*text, pattern);
}

TEST_F(PanelSecurity, RefusesWhatDoesNotComeFromItsOwnPageAndSendsNothing) {
  std::string error;
  site = sim::Site::create(1, &error);
  ASSERT_TRUE(site) << "cannot make the site: " << error;
  ASSERT_TRUE(site->start_all(&error)) << error;
  ASSERT_TRUE(site->add_client_address(kWithin, &error)) << error;
  ASSERT_TRUE(site->add_client_address(kOutside, &error)) << error;
  const Listener within(*site, kWithin), outside(*site, kOutside);
  ASSERT_TRUE(within.bound() && outside.bound());
  const std::string appliance = sim::Site::address(0);

  // Off loopback it starts only with HTTPS and a password file, and says why.
  for (const std::vector<std::string>& more :
       {std::vector<std::string>{"--listen", sim::Site::client_address() + ":9495"},
        {"--listen", "0.0.0.0:9495", "--tls-cert", "/dev/null", "--tls-key", "/dev/null"},
        {"--listen", ":9495", "--password-file", "/dev/null"}}) {
    sim::SpawnOptions options;
    options.net_ns = site->client_host().network_namespace();
    const sim::RunResult refused = sim::run(argv(more), 10s, options);
    EXPECT_EQ(refused.status, 2) << more[1];
    EXPECT_NE(refused.err.find("not loopback"), std::string::npos) << refused.err;
  }

  const std::string line = start();
  std::smatch token;
  ASSERT_TRUE(std::regex_match(
      line, token,
      std::regex("orvo-panel: open http://127\\.0\\.0\\.1:9495/#token=([0-9a-f]{64})\n")))
      << line;
  const std::string good = "Host: " + kSelf + "\r\nOrigin: " + kOrigin + "\r\nX-Orvo-Panel: 1\r\n";

  // The page itself, with the headers every reply carries, and no CORS.
  const Response index = ask("GET", "/", "Host: localhost:9495\r\n");
  EXPECT_EQ(index.status, 200);
  EXPECT_EQ(index.header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(index.body.find("<html"), std::string::npos);
  for (const Response& reply : {index, ask("GET", "/api/site", "Host: " + kSelf + "\r\n"),
                                ask("GET", "/../CMakeLists.txt", "Host: " + kSelf + "\r\n")}) {
    EXPECT_EQ(reply.header("Content-Security-Policy"), kCsp);
    EXPECT_EQ(reply.header("X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(reply.header("Referrer-Policy"), "no-referrer");
    EXPECT_EQ(reply.header("Cache-Control"), "no-store");
  }
  EXPECT_EQ(ask("GET", "/../CMakeLists.txt", "Host: " + kSelf + "\r\n").status, 404);
  EXPECT_EQ(ask("GET", "/.hidden.js", "Host: " + kSelf + "\r\n").status, 404);

  // A name made to point at the panel (DNS rebinding), or none at all.
  EXPECT_EQ(ask("GET", "/", "Host: attacker.example:9495\r\n").status, 403);
  EXPECT_EQ(ask("GET", "/", "").status, 403);
  EXPECT_EQ(ask("POST", "/api/login",
                "Host: attacker.example:9495\r\nOrigin: "
                "http://attacker.example:9495\r\nX-Orvo-Panel: 1\r\n",
                "token=" + token[1].str())
                .status,
            403);
  // A login from another site's page, or without the panel's header, or
  // with the browser saying it is cross-site: the token is not spent.
  EXPECT_EQ(ask("POST", "/api/login",
                "Host: " + kSelf + "\r\nOrigin: http://attacker.example\r\nX-Orvo-Panel: 1\r\n",
                "token=" + token[1].str())
                .status,
            403);
  EXPECT_EQ(ask("POST", "/api/login", "Host: " + kSelf + "\r\nOrigin: " + kOrigin + "\r\n",
                "token=" + token[1].str())
                .status,
            403);
  EXPECT_EQ(
      ask("POST", "/api/login", good + "Sec-Fetch-Site: cross-site\r\n", "token=" + token[1].str())
          .status,
      403);
  // CORS's question before a cross-origin request with a custom header.
  const Response preflight = ask("OPTIONS", "/api/login",
                                 "Host: " + kSelf +
                                     "\r\nOrigin: http://attacker.example\r\n"
                                     "Access-Control-Request-Headers: x-orvo-panel\r\n");
  EXPECT_EQ(preflight.status, 405);

  // The token, once: a session cookie only the panel's own pages send.
  const Response login = ask("POST", "/api/login", good, "token=" + token[1].str());
  ASSERT_EQ(login.status, 204) << login.body;
  std::smatch cookie;
  const std::string set_cookie = login.header("Set-Cookie");
  ASSERT_TRUE(std::regex_match(set_cookie, cookie,
                               std::regex("orvo_session=([0-9a-f]{64}); Path=/; HttpOnly; "
                                          "SameSite=Strict")))
      << set_cookie;
  session = cookie[1];
  const Response again = ask("POST", "/api/login", good, "token=" + token[1].str());
  EXPECT_EQ(again.status, 403) << again.body;
  // A failed attempt pauses further ones from that address.
  const Response paused = ask("POST", "/api/login", good, "token=" + token[1].str());
  EXPECT_EQ(paused.status, 429) << paused.body;
  EXPECT_NE(paused.header("Retry-After"), "");

  // A line for the appliance within the targets, asked for in every way but
  // the right one.
  const std::string version = "address=" + kWithin + "&line=VERSION";
  const std::string with_session = "Cookie: orvo_session=" + session + "\r\n";
  struct Refused {
    const char* what;
    std::string method, target, headers, form;
    int status;
  };
  const Refused refusals[] = {
      {"wrong Host", "POST", "/api/send",
       "Host: attacker.example:9495\r\nOrigin: " + kOrigin + "\r\nX-Orvo-Panel: 1\r\n" +
           with_session,
       version, 403},
      {"cross-origin", "POST", "/api/send",
       "Host: " + kSelf + "\r\nOrigin: http://attacker.example\r\nX-Orvo-Panel: 1\r\n" +
           with_session,
       version, 403},
      {"no Origin", "POST", "/api/send",
       "Host: " + kSelf + "\r\nX-Orvo-Panel: 1\r\n" + with_session, version, 403},
      {"another port's Origin", "POST", "/api/send",
       "Host: " + kSelf + "\r\nOrigin: http://127.0.0.1:8080\r\nX-Orvo-Panel: 1\r\n" + with_session,
       version, 403},
      {"cross-site fetch", "POST", "/api/send",
       good + "Sec-Fetch-Site: same-site\r\n" + with_session, version, 403},
      {"no custom header", "POST", "/api/send",
       "Host: " + kSelf + "\r\nOrigin: " + kOrigin + "\r\n" + with_session, version, 403},
      {"no session", "POST", "/api/send", good, version, 403},
      {"unknown session", "POST", "/api/send",
       good + "Cookie: orvo_session=" + std::string(64, 'a') + "\r\n", version, 403},
      {"used token as session", "POST", "/api/send",
       good + "Cookie: orvo_session=" + token[1].str() + "\r\n", version, 403},
      {"outside the targets", "POST", "/api/send", from_page(),
       "address=" + kOutside + "&line=VERSION", 403},
      {"unknown command", "POST", "/api/send", from_page(), "address=" + kWithin + "&line=REBOOT",
       400},
      {"out of range", "POST", "/api/send", from_page(),
       "address=" + kWithin + "&line=EQ%201%20-30", 400},
      {"two lines", "POST", "/api/send", from_page(), "address=" + kWithin + "&line=ID%201%0D%0AFU",
       400},
      {"GET of a change", "GET", "/api/send?" + version, "Host: " + kSelf + "\r\n" + with_session,
       "", 405},
      {"discovery outside", "POST", "/api/discover", from_page(), "range=192.0.2.16/28", 403},
      {"add outside", "POST", "/api/add", from_page(), "address=" + kOutside, 403},
      {"apply outside", "POST", "/api/rooms/apply", from_page(),
       "room=x&addresses=" + kWithin + "," + kOutside, 403},
      {"reading without a session", "GET", "/api/appliance?address=" + kWithin,
       "Host: " + kSelf + "\r\n", "", 403},
      {"stream without a session", "GET", "/api/events", "Host: " + kSelf + "\r\n", "", 403},
  };
  for (const Refused& refused : refusals) {
    const Response reply = ask(refused.method, refused.target, refused.headers, refused.form);
    EXPECT_EQ(reply.status, refused.status) << refused.what << ": " << reply.body;
    if (reply.status == 400 || reply.status == 403) {
      EXPECT_EQ(reply.header("Content-Type"), "application/json") << refused.what;
      EXPECT_EQ(reply.body.rfind("{\"error\":\"", 0), 0u) << refused.what << ": " << reply.body;
    }
    for (const auto& [name, value] : reply.headers) {
      EXPECT_NE(strncasecmp(name.c_str(), "Access-Control-", 15), 0) << refused.what;
    }
  }
  EXPECT_EQ(within.received(500ms), 0);
  EXPECT_EQ(outside.received(0ms), 0);

  // The right way: the line goes out (to the listener, which never answers;
  // a stranger answering in its place is not taken).
  const Response silent = ask("POST", "/api/send", from_page(), version);
  EXPECT_EQ(silent.status, 200) << silent.body;
  EXPECT_EQ(silent.body, "{\"line\":\"VERSION\",\"reply\":null,\"outcome\":\"silent\"}")
      << silent.body;
  EXPECT_GE(within.received(0ms), 1);

  // The appliance added by address; a stream of it: its state at once,
  // then each change.
  const Response added = ask("POST", "/api/add", from_page(), "address=" + appliance);
  EXPECT_EQ(added.status, 200) << added.body;
  EXPECT_NE(added.body.find("{\"address\":\"" + appliance + "\""), std::string::npos) << added.body;
  const int stream = connect_panel();
  ASSERT_GE(stream, 0);
  const std::string watch = "GET /api/events?address=" + appliance + " HTTP/1.1\r\nHost: " + kSelf +
                            "\r\n" + with_session + "\r\n";
  ASSERT_EQ(send(stream, watch.data(), watch.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(watch.size()));
  std::string events;
  EXPECT_TRUE(read_until(stream, &events, std::regex("\r\n\r\n"))) << events;
  const Response head = response_parse(events);
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.header("Content-Type"), "text/event-stream");
  EXPECT_TRUE(read_until(stream, &events, std::regex("event: site\ndata: \\{\"appliances\":")))
      << events;
  EXPECT_TRUE(
      read_until(stream, &events, std::regex("event: appliance\ndata: .*\"eq\":\\[0,0,0\\]")))
      << events;

  // A line and its reply, which the stream then shows.
  const Response sent =
      ask("POST", "/api/send", from_page(), "address=" + appliance + "&line=EQ+1+-3");
  EXPECT_EQ(sent.status, 200) << sent.body;
  EXPECT_EQ(sent.body, "{\"line\":\"EQ 1 -3\",\"reply\":\"ACK EQ 1 -3\",\"outcome\":\"done\"}");
  EXPECT_TRUE(
      read_until(stream, &events, std::regex("event: appliance\ndata: .*\"eq\":\\[0,-3,0\\]")))
      << events;
  // Another tool's change, seen by the poller.
  EXPECT_EQ(site->appliance(0).request("EQ 2 4\r").value_or(""), "ACK EQ 2 4\r");
  EXPECT_TRUE(
      read_until(stream, &events, std::regex("event: appliance\ndata: .*\"eq\":\\[0,-3,4\\]")))
      << events;
  const Response snapshot =
      ask("GET", "/api/snapshot?address=" + appliance, "Host: " + kSelf + "\r\n" + with_session);
  EXPECT_EQ(snapshot.status, 200);
  EXPECT_EQ(snapshot.header("Content-Disposition").rfind("attachment", 0), 0u);
  EXPECT_NE(snapshot.body.find("EQ 1 -3\n"), std::string::npos) << snapshot.body;
  EXPECT_EQ(outside.received(0ms), 0);

  // SIGHUP gives a new token (for a lost one, or an ended session), good
  // once; the earlier failures' pause may still run.
  kill(panel, SIGHUP);
  std::smatch renewed;
  const std::string next = line_read();
  ASSERT_TRUE(std::regex_match(
      next, renewed,
      std::regex("orvo-panel: open http://127\\.0\\.0\\.1:9495/#token=([0-9a-f]{64})\n")))
      << next;
  EXPECT_NE(renewed[1], token[1]);
  Response relogin;
  for (int tries = 0; tries < 3; ++tries) {
    relogin = ask("POST", "/api/login", good, "token=" + renewed[1].str());
    if (relogin.status != 429) break;
    std::this_thread::sleep_for(std::chrono::seconds(std::stoi(relogin.header("Retry-After"))));
  }
  EXPECT_EQ(relogin.status, 204) << relogin.body;
  EXPECT_EQ(ask("POST", "/api/login", good, "token=" + renewed[1].str()).status, 403);

  // SIGTERM ends it with the stream open.
  kill(panel, SIGTERM);
  EXPECT_EQ(sim::wait_exit(panel, 10s), std::optional<int>(0));
  panel = -1;
  close(stream);
}

}  // namespace
