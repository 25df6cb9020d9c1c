#include "http/http.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <microhttpd.h>
#include <mutex>

namespace http {

namespace {

// Requests are one line of a few hundred bytes: whatever does not fit a
// connection's memory is refused by the library.
constexpr size_t kConnectionMemory = 16 * 1024;
constexpr unsigned kIdleSeconds = 30;  // a connection with nothing to do is closed
constexpr size_t kThreadStack = 256 * 1024;

// The library speaks of each connection it refuses or cuts (over the
// limit, too large, timed out): at most this many lines a minute, so that a
// flood of them cannot flood the log.
constexpr int kLibraryLinesPerMinute = 10;

const char* program_name = "";

MHD_Result parameter_take(void* context, MHD_ValueKind, const char* key, size_t key_size,
                          const char* value, size_t value_size) {
  auto* query = static_cast<std::vector<Parameter>*>(context);
  const bool valid = value != nullptr && memchr(value, '\0', value_size) == nullptr;
  query->push_back(Parameter{std::string(key, key_size),
                             valid ? std::string(value, value_size) : std::string(), valid});
  return MHD_YES;
}

MHD_Result answer(void* context, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, size_t* upload_size, void** request_state) {
  // Answered once the whole request is in (so that the connection can stay
  // open for the next one); a body, which no request here has, is dropped.
  static int marker;
  if (*request_state == nullptr) {
    *request_state = &marker;
    return MHD_YES;
  }
  if (*upload_size != 0) {
    *upload_size = 0;
    return MHD_YES;
  }
  const ServerOptions& options = *static_cast<const ServerOptions*>(context);
  Request request{url, {}};
  MHD_get_connection_values_n(connection, MHD_GET_ARGUMENT_KIND, parameter_take, &request.query);
  const Reply reply = route(options, method, request);
  if (options.answered != nullptr) options.answered(options.context, reply.code);
  MHD_Response* response = MHD_create_response_from_buffer(
      reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.type);
  if (reply.code == 405) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  const MHD_Result queued = MHD_queue_response(connection, reply.code, response);
  MHD_destroy_response(response);
  return queued;
}

long long monotonic_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void library_log(void*, const char* format, va_list arguments) {
  static std::mutex mutex;
  static long long minute_start = 0;
  static int lines = 0;
  {
    const std::lock_guard lock(mutex);
    const long long now = monotonic_ms();
    if (now - minute_start >= 60000) {
      if (lines > kLibraryLinesPerMinute) {
        fprintf(stderr, "%s: %d further messages of the HTTP library left out\n", program_name,
                lines - kLibraryLinesPerMinute);
      }
      minute_start = now;
      lines = 0;
    }
    if (++lines > kLibraryLinesPerMinute) return;
  }
  // One line per problem, whatever the library's own line ends are.
  char line[512];
  vsnprintf(line, sizeof line, format, arguments);
  const size_t length = strcspn(line, "\n");
  fprintf(stderr, "%s: %.*s\n", program_name, static_cast<int>(length), line);
}

}  // namespace

Reply refusal(unsigned code, const std::string& message) {
  return Reply{code, message + "\n", kTextType};
}

std::string quotable(const std::string& text) {
  std::string value;
  for (const char c : text) {
    if (c == '\0') break;
    if (c == '\\' || c == '"') {
      value += '\\';
      value += c;
    } else if (c == '\n') {
      value += "\\n";
    } else {
      value += static_cast<unsigned char>(c) < ' ' ? ' ' : c;
    }
  }
  return value;
}

std::string parameters_read(const Request& request, std::initializer_list<const char*> names,
                            Parameters* parameters) {
  parameters->value.assign(names.size(), "");
  parameters->given.assign(names.size(), false);
  for (const Parameter& parameter : request.query) {
    size_t index = 0;
    for (const char* name : names) {
      if (parameter.name == name) break;
      ++index;
    }
    if (index == names.size()) return "unknown parameter '" + quotable(parameter.name) + "'";
    if (parameters->given[index]) return "parameter '" + parameter.name + "' given twice";
    if (!parameter.valid) {
      return "parameter '" + parameter.name + "' without a value, or with a NUL byte";
    }
    parameters->given[index] = true;
    parameters->value[index] = parameter.value;
  }
  return "";
}

Reply route(const ServerOptions& options, const char* method, const Request& request) {
  for (const Route& route : options.routes) {
    if (request.path != route.path) continue;
    if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
      return refusal(405, "only GET and HEAD");
    }
    return route.handler(options.context, request);
  }
  return refusal(404, options.not_found);
}

int serve(const ServerOptions& options) {
  program_name = options.program;
  // The signals that end the server wait for this thread alone: the
  // library's threads inherit the mask.
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGINT);
  sigaddset(&ending, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);
  signal(SIGPIPE, SIG_IGN);

  sockaddr_in listen = options.listen;
  MHD_Daemon* daemon = MHD_start_daemon(
      MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO |
          MHD_USE_ERROR_LOG,
      0, nullptr, nullptr, answer, const_cast<ServerOptions*>(&options), MHD_OPTION_EXTERNAL_LOGGER,
      library_log, nullptr, MHD_OPTION_SOCK_ADDR, &listen, MHD_OPTION_CONNECTION_LIMIT,
      options.connections, MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_THREAD_STACK_SIZE,
      kThreadStack, MHD_OPTION_END);
  char address[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &listen.sin_addr, address, sizeof address);
  if (daemon == nullptr) {
    fprintf(stderr, "%s: cannot serve HTTP on %s:%d\n", options.program, address,
            ntohs(listen.sin_port));
    return 1;
  }
  fprintf(stderr, "%s: listening on %s:%d\n", options.program, address, ntohs(listen.sin_port));
  int signal_number = 0;
  while (sigwait(&ending, &signal_number) != 0) {
  }
  MHD_stop_daemon(daemon);
  return 0;
}

}  // namespace http
