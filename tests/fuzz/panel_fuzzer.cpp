// Fuzz target over what orvo-panel takes from the network before any route:
// the input, split at line feeds, is a request's Host, Origin, Cookie and
// Sec-Fetch-Site headers, its method and path, and a login form's token,
// user and password (the form's fields as the HTTP library hands them
// over). Each goes through the guard, the login, the session lookup of the
// cookie, the page lookup of the path, and the JSON and event texts that
// carry what a peer sent back out. Under AddressSanitizer and
// UndefinedBehaviorSanitizer; beside them it checks what the panel relies on:
//   - a request the guard lets through has the panel's own Host, and a
//     change also its Origin, its header and (but for the login) a session;
//   - nobody logs in without the token or the password, and no cookie but
//     the session's own is taken for it;
//   - a page is served only by the name of a file right in the folder;
//   - a JSON string is valid UTF-8 without raw control characters, and an
//     event's data lines give back the data.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "http/http.h"
#include "panel/auth.h"
#include "panel/guard.h"
#include "panel/routes.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& text) {
  fprintf(stderr, "panel_fuzzer: %s: '%s'\n", what, text.c_str());
  abort();
}

constexpr const char kToken[] = "5f0c1e8a9d3b47c2a6e1f0b9c8d7e6f5a4b3c2d1e0f9a8b7c6d5e4f3a2b1c0d9";

struct World {
  panel::Options options;
  panel::Guard guard;
  panel::Auth auth{kToken, false};
  std::string session;  // the one session there is
  int pages = -1;
  long long now_ms = 1000000;
};

std::string folder_made;

void folder_remove() {
  for (const char* name : {"/passwords", "/index.html", "/app.js"}) {
    unlink((folder_made + name).c_str());
  }
  rmdir((folder_made + "/sub").c_str());
  rmdir(folder_made.c_str());
}

World& world() {
  static World* made = [] {
    auto* w = new World;
    http::listen_parse("127.0.0.1:9495", &w->options.listen);
    w->options.names = {"panel.example"};
    w->guard = panel::guard_make(w->options);
    // A cheap hash, so that the fuzzer spends its time on the parsing.
    char folder[] = "/tmp/orvo-panel-fuzz.XXXXXX";
    if (mkdtemp(folder) == nullptr) fail("no temporary folder", "");
    const std::string base = folder;
    folder_made = base;
    atexit(folder_remove);
    FILE* file = fopen((base + "/passwords").c_str(), "w");
    if (file == nullptr) fail("cannot write the password file", base);
    fputs("# the integrators\nalice:$1$saltsalt$9xy1btjgzLYfb7hivXtC//\n", file);
    fclose(file);
    const std::string why = w->auth.accounts_read(base + "/passwords");
    if (!why.empty()) fail("the password file is refused", why);
    for (const char* name : {"index.html", "app.js"}) {
      file = fopen((base + "/" + name).c_str(), "w");
      if (file != nullptr) fclose(file);
    }
    mkdir((base + "/sub").c_str(), 0755);
    w->pages = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::string token = kToken;
    int retry = 0;
    if (w->auth.login(&token, nullptr, nullptr, 0x7f000001, w->now_ms, &w->session, &retry) !=
        panel::Auth::Login::kDone) {
      fail("the token does not log in", token);
    }
    return w;
  }();
  return *made;
}

bool valid_utf8_without_controls(const std::string& text) {
  if (http::utf8_valid(text) != text) return false;
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < ' ' || c == 0x7f) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  World& w = world();
  w.now_ms += 997;
  std::vector<std::string> parts;
  std::string input(reinterpret_cast<const char*>(data), size);
  for (size_t start = 0; parts.size() < 8;) {
    const size_t end = input.find('\n', start);
    parts.push_back(input.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  parts.resize(8);
  enum { kHost, kOrigin, kCookie, kFetchSite, kTarget, kTokenField, kUser, kPassword };

  // The request line: "METHOD PATH", or a path alone for a GET.
  http::Request request;
  const std::string& target = parts[kTarget];
  const size_t space = target.find(' ');
  request.method = space == std::string::npos ? "GET" : target.substr(0, space);
  request.path = space == std::string::npos ? target : target.substr(space + 1);
  const char* names[] = {"Host", "Origin", "Cookie", "Sec-Fetch-Site"};
  for (int i = kHost; i <= kFetchSite; ++i) {
    // An empty part is a header not sent.
    if (!parts[i].empty()) request.headers.push_back({names[i], parts[i], true});
  }
  request.headers.push_back({"X-Orvo-Panel", "1", true});

  const http::Reply admitted = panel::guard_check(w.guard, w.auth, request, w.now_ms);
  if (admitted.code == 0) {
    std::string host = *http::header(request, "Host");
    // Names compare in any case, but nothing else may differ.
    for (char& c : host) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (host != "127.0.0.1:9495" && host != "localhost:9495" && host != "panel.example:9495")
      fail("a Host let through that is none of the panel's names", parts[kHost]);
    std::string id;
    const bool has_session = w.auth.session(http::header(request, "Cookie"), w.now_ms, false, &id);
    if (request.method == "POST") {
      if (!panel::origin_allowed(w.guard, http::header(request, "Origin")))
        fail("a change from a foreign Origin let through", parts[kOrigin]);
      const std::string* site = http::header(request, "Sec-Fetch-Site");
      if (site != nullptr && *site != "same-origin") fail("a cross-site change let through", *site);
      if (request.path != "/api/login" && !has_session)
        fail("a change without a session let through", parts[kCookie]);
    } else if (request.method != "GET" && request.method != "HEAD") {
      fail("a method let through", request.method);
    } else if (request.path.rfind("/api/", 0) == 0 && !has_session) {
      fail("a read of the API without a session let through", parts[kCookie]);
    }
  } else if (admitted.code != 403 && admitted.code != 405) {
    fail("a refusal of another kind", std::to_string(admitted.code));
  }

  // The cookie: only the session's own value names it.
  std::string id;
  if (w.auth.session(parts[kCookie].empty() ? nullptr : &parts[kCookie], w.now_ms, false, &id)) {
    if (id != w.session) fail("a cookie taken for another session", parts[kCookie]);
    if (parts[kCookie].find(w.session) == std::string::npos)
      fail("a session found in a cookie that does not hold it", parts[kCookie]);
  }
  for (const std::string& value : panel::cookie_values(parts[kCookie], panel::kSessionCookie)) {
    if (value.find(';') != std::string::npos) fail("a cookie value across a ';'", value);
  }

  // A login from an address the input chooses: never without the secrets.
  const uint32_t peer = size >= 2 ? 0x0a000000u | (data[0] << 8) | data[1] : 0x0a000001u;
  const bool token_given = input.find("\ntoken") != std::string::npos;
  std::string session;
  int retry = 0;
  const panel::Auth::Login login = w.auth.login(
      token_given ? &parts[kTokenField] : nullptr, token_given ? nullptr : &parts[kUser],
      token_given ? nullptr : &parts[kPassword], peer, w.now_ms, &session, &retry);
  if (login == panel::Auth::Login::kDone &&
      !(parts[kUser] == "alice" && parts[kPassword] == "secret"))
    fail("a login without the token or password", input);
  if (login == panel::Auth::Login::kPaused && (retry < 1 || retry > 30))
    fail("a pause outside 1..30 s", std::to_string(retry));

  // Pages: a name right in the folder, of a served type.
  const http::Reply page = panel::page(w.pages, request.path);
  if (page.code == 200 && request.path != "/" && request.path != "/index.html" &&
      request.path != "/app.js") {
    fail("a page served by a path that is no file's name", request.path);
  }
  if (page.code != 200 && page.code != 404) fail("a page refused oddly", request.path);

  // What goes back out.
  const std::string quoted = http::json_string(input);
  if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"' ||
      !valid_utf8_without_controls(quoted)) {
    fail("a JSON string that is not one", quoted);
  }
  const std::string event = panel::event_text("site", input);
  if (event.rfind("event: site\n", 0) != 0 || event.size() < 2 ||
      event.compare(event.size() - 2, 2, "\n\n") != 0) {
    fail("an event not framed", event);
  }
  // A browser ends a line at CR, LF or both: the data comes back with LFs.
  std::string lines;
  for (size_t i = 0; i < input.size(); ++i) {
    if (input[i] == '\r' && i + 1 < input.size() && input[i + 1] == '\n') continue;
    lines += input[i] == '\r' ? '\n' : input[i];
  }
  std::string back;
  bool first = true;
  for (size_t at = event.find('\n') + 1; at < event.size() - 1;) {
    const size_t end = event.find('\n', at);
    const std::string line = event.substr(at, end - at);
    if (line.rfind("data: ", 0) != 0 || line.find('\r') != std::string::npos)
      fail("an event line that is no data line", line);
    back += (first ? "" : "\n") + line.substr(6);
    first = false;
    at = end + 1;
  }
  if (back != lines) fail("an event's data not given back", input);
  return 0;
}
