// A small HTTP server on libmicrohttpd for the integrator's programs: a
// thread for each connection, bounded in connections, memory and time; GET
// and HEAD on a table of paths; query parameters by name; refusals with
// their status and text; the library's own messages in the log, at most a
// few a minute. Handlers see a Request and return a Reply: they know nothing
// of the library, so that tests call them directly.
#pragma once

#include <initializer_list>
#include <netinet/in.h>
#include <string>
#include <vector>

namespace http {

inline constexpr const char kTextType[] = "text/plain; charset=utf-8";
inline constexpr const char kJsonType[] = "application/json";

struct Parameter {
  std::string name;
  std::string value;
  bool valid;  // false without a value ("?name") or with a NUL byte in it
};

struct Request {
  std::string path;
  std::vector<Parameter> query;  // in the order given
};

struct Reply {
  unsigned code;
  std::string body;
  const char* type;
};

// A refusal: the status and the message as a line of text.
Reply refusal(unsigned code, const std::string& message);

// A text safe to quote in a message: backslash, quote and line feed escaped,
// other control characters as spaces.
std::string quotable(const std::string& text);

// The query's parameters by name: each of the names given at most once, no
// other name, every one with a value. "" and the values (empty where not
// given, with given[i] false), or why not.
struct Parameters {
  std::vector<std::string> value;
  std::vector<bool> given;
};
std::string parameters_read(const Request& request, std::initializer_list<const char*> names,
                            Parameters* parameters);

using Handler = Reply (*)(void* context, const Request& request);

struct Route {
  const char* path;
  Handler handler;
};

struct ServerOptions {
  const char* program;  // before each line of the log
  sockaddr_in listen;
  unsigned connections;  // at most this many at once
  std::vector<Route> routes;
  std::string not_found;  // the message for any other path
  void* context;          // for the handlers and answered
  // Told of every reply's status (also of refusals of the server's own).
  void (*answered)(void* context, unsigned code);
};

// Serves until SIGINT or SIGTERM: 0 then, 1 when the server cannot start.
int serve(const ServerOptions& options);

// What serve does with a request for a path and method: the route's reply,
// or the server's own refusal (404, 405).
Reply route(const ServerOptions& options, const char* method, const Request& request);

}  // namespace http
