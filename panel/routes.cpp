#include "panel/routes.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "panel/rooms.h"

namespace panel {

namespace {

constexpr unsigned kConnections = 64;
constexpr off_t kLargestPage = 4 * 1024 * 1024;

http::Reply refused(Refusal refusal, const std::string& why) {
  switch (refusal) {
    case Refusal::kBadRequest:
      return error_reply(400, why);
    case Refusal::kForbidden:
      return error_reply(403, why);
    case Refusal::kNotFound:
      return error_reply(404, why);
    case Refusal::kFailed:
    case Refusal::kNone:
      break;
  }
  // In order, but the appliance did not answer or a file was not written.
  return error_reply(502, why);
}

http::Reply json(const std::string& body) { return http::Reply{200, body, http::kJsonType}; }

// The query's or form's fields by name, each required unless optional.
bool fields(const http::Request& request, bool form, std::initializer_list<const char*> names,
            unsigned optional_mask, http::Parameters* values, http::Reply* refusal) {
  const std::string why = form ? http::form_read(request, names, values)
                               : http::parameters_read(request, names, values);
  if (!why.empty()) {
    *refusal = error_reply(400, why);
    return false;
  }
  std::size_t index = 0;
  for (const char* name : names) {
    if (!values->given[index] && ((optional_mask >> index) & 1) == 0) {
      *refusal = error_reply(400, std::string("parameter '") + name + "' missing");
      return false;
    }
    ++index;
  }
  return true;
}

Panel& of(void* context) { return *static_cast<Panel*>(context); }

http::Reply login(void* context, const http::Request& request) {
  Panel& panel = of(context);
  http::Parameters values;
  http::Reply refusal{0, "", nullptr};
  if (!fields(request, true, {"token", "user", "password"}, 7, &values, &refusal)) return refusal;
  const auto given = [&](std::size_t i) { return values.given[i] ? &values.value[i] : nullptr; };
  std::string session;
  int retry_after = 0;
  char peer[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &request.peer.sin_addr, peer, sizeof peer);
  // Logged, so that a guessing peer shows; a user name as a quotable text.
  const std::string who =
      std::string(peer) +
      (values.given[0] ? " with the token" : " as \"" + http::quotable(values.value[1]) + "\"");
  switch (panel.auth->login(given(0), given(1), given(2), ntohl(request.peer.sin_addr.s_addr),
                            clock_ms(), &session, &retry_after)) {
    case Auth::Login::kDone: {
      http::Reply reply{204, "", http::kJsonType};
      reply.headers.emplace_back("Set-Cookie", panel.auth->cookie(session));
      fprintf(stderr, "orvo-panel: login from %s\n", who.c_str());
      return reply;
    }
    case Auth::Login::kPaused: {
      http::Reply reply = error_reply(429, "too many failed attempts: wait a little");
      reply.headers.emplace_back("Retry-After", std::to_string(retry_after));
      return reply;
    }
    case Auth::Login::kRefused:
      fprintf(stderr, "orvo-panel: login refused from %s\n", who.c_str());
      break;
  }
  return error_reply(403, "not logged in: wrong or used token, or wrong user or password");
}

http::Reply site(void* context, const http::Request& request) {
  http::Parameters values;
  http::Reply refusal{0, "", nullptr};
  if (!fields(request, false, {}, 0, &values, &refusal)) return refusal;
  return json(of(context).model->site_json());
}

http::Reply discover(void* context, const http::Request& request) {
  http::Parameters values;
  http::Reply refusal{0, "", nullptr};
  if (!fields(request, true, {"range"}, 1, &values, &refusal)) return refusal;
  Refusal why_not = Refusal::kNone;
  const std::string why = of(context).model->discover(values.value[0], &why_not);
  if (!why.empty()) return refused(why_not, why);
  return json(of(context).model->site_json());
}

http::Reply add(void* context, const http::Request& request) {
  http::Parameters values;
  http::Reply refusal{0, "", nullptr};
  if (!fields(request, true, {"address"}, 0, &values, &refusal)) return refusal;
  Refusal why_not = Refusal::kNone;
  const std::string why = of(context).model->add(values.value[0], &why_not);
  if (!why.empty()) return refused(why_not, why);
  return json(of(context).model->site_json());
}

http::Reply appliance(void* context, const http::Request& request) {
  http::Parameters values;
  http::Reply refusal{0, "", nullptr};
  if (!fields(request, false, {"address"}, 0, &values, &refusal)) return refusal;
  Refusal why_not = Refusal::kNone;
  const std::optional<std::string> body =
      of(context).model->appliance_json(values.value[0], &why_not);
  if (!body) return refused(why_not, "no such appliance: " + values.value[0]);
  return json(*body);
}

http::Reply send(void* context, const http::Request& request) {
  http::Parameters values;
  http::Reply refusal{0, "", nullptr};
  if (!fields(request, true, {"address", "line"}, 0, &values, &refusal)) return refusal;
  Refusal why_not = Refusal::kNone;
  std::string why;
  const std::optional<SendResult> result =
      of(context).model->send_line(values.value[0], values.value[1], &why_not, &why);
  if (!result) return refused(why_not, why);
  return json(send_json(*result));
}

http::Reply rooms_diff(void* context, const http::Request& request) {
  http::Parameters values;
  http::Reply refusal{0, "", nullptr};
  if (!fields(request, false, {"address", "room"}, 0, &values, &refusal)) return refusal;
  Refusal why_not = Refusal::kNone;
  std::vector<std::string> names;
  const std::string why =
      room_differences(*of(context).model, values.value[0], values.value[1], &names, &why_not);
  if (!why.empty()) return refused(why_not, why);
  std::string body = "{\"differences\":[";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) body += ',';
    body += http::json_string(names[i]);
  }
  return json(body + "]}");
}

http::Reply rooms_save(void* context, const http::Request& request) {
  http::Parameters values;
  http::Reply refusal{0, "", nullptr};
  if (!fields(request, true, {"address", "room"}, 0, &values, &refusal)) return refusal;
  Refusal why_not = Refusal::kNone;
  const std::string why = room_save(*of(context).model, values.value[0], values.value[1], &why_not);
  if (!why.empty()) return refused(why_not, why);
  return json("{\"room\":" + http::json_string(values.value[1]) + "}");
}

http::Reply rooms_apply(void* context, const http::Request& request) {
  http::Parameters values;
  http::Reply refusal{0, "", nullptr};
  if (!fields(request, true, {"room", "addresses"}, 0, &values, &refusal)) return refusal;
  std::vector<std::string> addresses;
  const std::string& list = values.value[1];
  for (std::size_t start = 0; start <= list.size();) {
    std::size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    addresses.push_back(list.substr(start, comma - start));
    start = comma + 1;
  }
  Refusal why_not = Refusal::kNone;
  std::vector<ApplyResult> results;
  const std::string why =
      room_apply(*of(context).model, values.value[0], addresses, &results, &why_not);
  if (!why.empty()) return refused(why_not, why);
  return json(apply_json(results));
}

http::Reply snapshot(void* context, const http::Request& request) {
  http::Parameters values;
  http::Reply refusal{0, "", nullptr};
  if (!fields(request, false, {"address"}, 0, &values, &refusal)) return refusal;
  Refusal why_not = Refusal::kNone;
  std::string text;
  const std::string why = snapshot_text(*of(context).model, values.value[0], &text, &why_not);
  if (!why.empty()) return refused(why_not, why);
  std::uint32_t address = 0;
  address_parse(values.value[0], &address);
  http::Reply reply{200, text, http::kTextType};
  reply.headers.emplace_back("Content-Disposition",
                             "attachment; filename=\"orvo-" + address_text(address) + ".txt\"");
  return reply;
}

// What one event stream keeps: the watches that make the poller read what
// it shows, and what it sent last.
struct Watching {
  std::unique_ptr<SiteModel::Watch> site;
  std::unique_ptr<SiteModel::Watch> appliance;
  std::string address;  // "" for the site alone
  std::string session;
  bool first = true;
  std::uint64_t seen = 0;
  std::string site_sent;
  std::string appliance_sent;
};

http::Reply events(void* context, const http::Request& request) {
  Panel& panel = of(context);
  http::Parameters values;
  http::Reply refusal{0, "", nullptr};
  if (!fields(request, false, {"address"}, 1, &values, &refusal)) return refusal;
  auto watching = std::make_shared<Watching>();
  if (values.given[0]) {
    std::uint32_t address = 0;
    if (!address_parse(values.value[0], &address)) {
      return error_reply(400, "not an address (A.B.C.D): " + values.value[0]);
    }
    if (!panel.model->allowed(address)) {
      return error_reply(403, "not within the panel's targets: " + values.value[0]);
    }
    watching->address = address_text(address);
    watching->appliance = panel.model->watch(address);
  }
  watching->site = panel.model->watch(0);
  if (!panel.auth->session(http::header(request, "Cookie"), clock_ms(), false,
                           &watching->session)) {
    return error_reply(403, "no session, or it has ended: log in");
  }
  http::Reply reply{200, "retry: 2000\n\n", "text/event-stream"};
  reply.headers.emplace_back("X-Accel-Buffering", "no");
  SiteModel* model = panel.model;
  Auth* auth = panel.auth;
  reply.stream = [model, auth, watching](std::string* chunk, int wait_ms) {
    if (!auth->alive(watching->session, clock_ms())) return false;
    const std::uint64_t now =
        watching->first
            ? model->changes()
            : model->wait_for_change(watching->seen, std::chrono::milliseconds(wait_ms));
    if (!watching->first && now == watching->seen) return true;
    watching->first = false;
    watching->seen = now;
    const std::string site = model->site_json();
    if (site != watching->site_sent) {
      *chunk += event_text("site", site);
      watching->site_sent = site;
    }
    if (!watching->address.empty()) {
      Refusal why_not = Refusal::kNone;
      const std::optional<std::string> appliance =
          model->appliance_json(watching->address, &why_not);
      if (appliance && *appliance != watching->appliance_sent) {
        *chunk += event_text("appliance", *appliance);
        watching->appliance_sent = *appliance;
      }
    }
    return true;
  };
  return reply;
}

http::Reply pages(void* context, const http::Request& request) {
  return page(of(context).pages, request.path);
}

}  // namespace

std::string event_text(const char* name, const std::string& data) {
  // A line of the stream ends at CR, LF or CR LF: each line of the data is
  // a data line of its own.
  std::string text = std::string("event: ") + name + "\ndata: ";
  for (size_t i = 0; i < data.size(); ++i) {
    if (data[i] == '\r' && i + 1 < data.size() && data[i + 1] == '\n') continue;
    text += data[i] == '\r' || data[i] == '\n' ? std::string("\ndata: ") : std::string(1, data[i]);
  }
  return text + "\n\n";
}

http::Reply page(int folder, const std::string& path) {
  static const struct {
    const char* extension;
    const char* type;
  } kTypes[] = {
      {".html", "text/html; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".svg", "image/svg+xml"},
      {".png", "image/png"},
  };
  const std::string name = path == "/" ? "index.html" : path.substr(path.empty() ? 0 : 1);
  const http::Reply missing = error_reply(404, "no such page");
  if (path.empty() || path[0] != '/' || name.empty() || name[0] == '.' ||
      name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") !=
          std::string::npos) {
    return missing;
  }
  const char* type = nullptr;
  for (const auto& known : kTypes) {
    const std::size_t length = strlen(known.extension);
    if (name.size() > length && name.compare(name.size() - length, length, known.extension) == 0) {
      type = known.type;
    }
  }
  if (type == nullptr) return missing;
  const int fd = openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return missing;
  struct stat status;
  std::string body;
  bool whole = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size <= kLargestPage;
  if (whole) {
    body.resize(static_cast<std::size_t>(status.st_size));
    std::size_t got = 0;
    while (got < body.size()) {
      const ssize_t n = read(fd, body.data() + got, body.size() - got);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    whole = got == body.size();
  }
  close(fd);
  if (!whole) return missing;
  return http::Reply{200, std::move(body), type};
}

std::string login_line(const Options& options, const std::string& token) {
  char address[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &options.listen.sin_addr, address, sizeof address);
  return std::string("orvo-panel: open ") + (options.tls_cert.empty() ? "http" : "https") + "://" +
         address + ":" + std::to_string(ntohs(options.listen.sin_port)) + "/#token=" + token + "\n";
}

http::ServerOptions server_options(Panel* panel) {
  http::ServerOptions server;
  server.program = "orvo-panel";
  server.listen = panel->options->listen;
  server.connections = kConnections;
  server.routes = {
      {"/api/login", login, true},
      {"/api/site", site},
      {"/api/discover", discover, true},
      {"/api/add", add, true},
      {"/api/appliance", appliance},
      {"/api/send", send, true},
      {"/api/rooms/diff", rooms_diff},
      {"/api/rooms/save", rooms_save, true},
      {"/api/rooms/apply", rooms_apply, true},
      {"/api/snapshot", snapshot},
      {"/api/events", events},
  };
  server.not_found = "no such page";
  server.context = panel;
  server.answered = nullptr;
  server.admit = [](void* context, const http::Request& request) {
    Panel& panel = of(context);
    return guard_check(panel.guard, *panel.auth, request, clock_ms());
  };
  server.other = pages;
  server.headers = security_headers();
  return server;
}

}  // namespace panel
