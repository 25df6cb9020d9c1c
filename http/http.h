// A small HTTP server on libmicrohttpd for the integrator's programs: a
// thread for each connection, bounded in connections, memory and time; GET
// and HEAD on a table of paths; query parameters by name; refusals with
// their status and text; the library's own messages in the log, at most a
// few a minute. Handlers see a Request and return a Reply: they know nothing
// of the library, so that tests call them directly.
#pragma once

#include <functional>
#include <initializer_list>
#include <netinet/in.h>
#include <string>
#include <utility>
#include <vector>

#include "client/fleet.h"

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
  std::string method = "GET";    // GET, HEAD or POST
  std::vector<Parameter> headers = {};
  // A POST's fields (application/x-www-form-urlencoded), in the order given.
  std::vector<Parameter> form = {};
  // HTTP basic authentication, when the request carries it.
  bool credentials = false;
  std::string user = {};
  std::string password = {};
  sockaddr_in peer{};  // the client's address
};

// A header of the request by name, in any case: nullptr when absent.
const std::string* header(const Request& request, const char* name);

// The source of a reply that goes on for as long as it has more to say
// (Server-Sent Events). The layer calls it from the connection's thread,
// again and again: it waits at most wait_ms for something new, appends that
// to *chunk (or nothing), and returns false to end the stream. After 15 s
// with nothing new the layer sends the comment line ": keep-alive" itself,
// so that neither the connection's idle limit nor a proxy ends a quiet
// stream; when the server stops, streams end within a wait.
using StreamSource = std::function<bool(std::string* chunk, int wait_ms)>;

struct Reply {
  unsigned code;
  std::string body;
  const char* type;
  std::vector<std::pair<std::string, std::string>> headers = {};  // added as given
  // When set, the reply is a stream: body first, then what stream gives.
  StreamSource stream = {};
};

// A refusal: the status and the message as a line of text.
Reply refusal(unsigned code, const std::string& message);

// The text with every byte that is not part of valid UTF-8 replaced by
// U+FFFD, so that a label or a JSON string carries whatever a peer sent.
std::string utf8_valid(const std::string& text);

// A JSON string, quotes included: valid UTF-8 (as utf8_valid), quote,
// backslash and control characters escaped.
std::string json_string(const std::string& text);

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
// The same over a POST's form fields.
std::string form_read(const Request& request, std::initializer_list<const char*> names,
                      Parameters* parameters);

using Handler = Reply (*)(void* context, const Request& request);

// The command lines of the integrator's programs: "ADDRESS:PORT" to listen
// on (ADDRESS an IPv4 address or a host name; empty for every address), and
// a comma-separated list of networks ("A.B.C.D" or "A.B.C.D/BITS") added to
// networks (false, with the first item that is not one in *bad).
bool listen_parse(const char* text, sockaddr_in* address);
bool networks_parse(const char* text, std::vector<AddressRange>* networks, std::string* bad);

struct Route {
  const char* path;
  Handler handler;
  bool post = false;  // POST only; otherwise GET and HEAD
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
  // Called on SIGHUP (from the thread that serves signals), which never ends
  // the server; without it SIGHUP logs that there is nothing to reload.
  void (*reload)(void* context) = nullptr;
  // HTTPS with this key and certificate (PEM text) when both are set.
  std::string tls_key;
  std::string tls_cert;
  // When set, every request is shown to admit first (after its body is
  // in): a reply with code 0 lets it through to the routes, any other is
  // the answer.
  Reply (*admit)(void* context, const Request& request) = nullptr;
  // When set, GET and HEAD of any path outside the routes go here instead
  // of the not_found refusal.
  Handler other = nullptr;
  // Added to every reply, refusals of the server's own included.
  std::vector<std::pair<std::string, std::string>> headers = {};
  // Called once the server listens (from serve's thread).
  void (*started)(void* context) = nullptr;
  // Streaming replies open at once, at most; more are refused (503), so
  // that reconnecting pages cannot take every thread.
  unsigned streams = 32;
};

// Serves until SIGINT or SIGTERM: 0 then, 1 when the server cannot start.
int serve(const ServerOptions& options);

// What serve does with a request for a path and method: admit's refusal,
// the route's reply, other's, or the server's own refusal (404, 405).
Reply route(const ServerOptions& options, const char* method, const Request& request);

}  // namespace http
