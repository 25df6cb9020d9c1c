#include "http/http.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <microhttpd.h>
#include <mutex>
#include <strings.h>

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

// A POST body larger than this is refused: forms here are a line or two.
constexpr size_t kLargestForm = 64 * 1024;

// What a request collects while its body comes in.
struct Upload {
  MHD_PostProcessor* processor = nullptr;
  std::vector<Parameter> form;
  size_t size = 0;
  bool unusable = false;  // too large, or not a form
};

MHD_Result field_take(void* context, MHD_ValueKind, const char* key, const char*, const char*,
                      const char*, const char* data, uint64_t offset, size_t size) {
  auto* form = static_cast<std::vector<Parameter>*>(context);
  // A long value comes in pieces, each after the last.
  if (offset != 0 && !form->empty() && form->back().name == key) {
    form->back().value.append(data, size);
  } else {
    form->push_back(Parameter{key, std::string(data, size), true});
  }
  if (memchr(data, '\0', size) != nullptr) form->back().valid = false;
  return MHD_YES;
}

void completed(void*, MHD_Connection*, void** request_state, MHD_RequestTerminationCode) {
  auto* upload = static_cast<Upload*>(*request_state);
  if (upload == nullptr) return;
  if (upload->processor != nullptr) MHD_destroy_post_processor(upload->processor);
  delete upload;
  *request_state = nullptr;
}

MHD_Result answer(void* context, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char* data, size_t* upload_size, void** request_state) {
  // Answered once the whole request is in (so that the connection can stay
  // open for the next one). A POST's form is taken apart by the library as
  // it comes; any other body is dropped.
  if (*request_state == nullptr) {
    auto* upload = new Upload;
    if (strcmp(method, MHD_HTTP_METHOD_POST) == 0) {
      upload->processor = MHD_create_post_processor(connection, 4096, field_take, &upload->form);
    }
    *request_state = upload;
    return MHD_YES;
  }
  auto* upload = static_cast<Upload*>(*request_state);
  if (*upload_size != 0) {
    upload->size += *upload_size;
    if (upload->size > kLargestForm) upload->unusable = true;
    if (!upload->unusable && upload->processor != nullptr &&
        MHD_post_process(upload->processor, data, *upload_size) != MHD_YES) {
      upload->unusable = true;
    }
    *upload_size = 0;
    return MHD_YES;
  }
  const ServerOptions& options = *static_cast<const ServerOptions*>(context);
  Request request{url, {}};
  request.method = method;
  MHD_get_connection_values_n(connection, MHD_GET_ARGUMENT_KIND, parameter_take, &request.query);
  MHD_get_connection_values_n(connection, MHD_HEADER_KIND, parameter_take, &request.headers);
  request.form = std::move(upload->form);
  char* password = nullptr;
  char* user = MHD_basic_auth_get_username_password(connection, &password);
  if (user != nullptr) {
    request.credentials = true;
    request.user = user;
    request.password = password != nullptr ? password : "";
    MHD_free(user);
    if (password != nullptr) MHD_free(password);
  }
  const MHD_ConnectionInfo* client =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (client != nullptr && client->client_addr != nullptr &&
      client->client_addr->sa_family == AF_INET) {
    memcpy(&request.peer, client->client_addr, sizeof request.peer);
  }
  const Reply reply = upload->unusable
                          ? refusal(upload->size > kLargestForm ? 413 : 400,
                                    upload->size > kLargestForm ? "the form is too large"
                                                                : "the form cannot be read")
                          : route(options, method, request);
  if (options.answered != nullptr) options.answered(options.context, reply.code);
  MHD_Response* response = MHD_create_response_from_buffer(
      reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.type);
  for (const auto& [name, value] : reply.headers) {
    MHD_add_response_header(response, name.c_str(), value.c_str());
  }
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

const std::string* header(const Request& request, const char* name) {
  for (const Parameter& header : request.headers) {
    if (strcasecmp(header.name.c_str(), name) == 0) return &header.value;
  }
  return nullptr;
}

std::string utf8_valid(const std::string& text) {
  std::string valid;
  valid.reserve(text.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t size = text.size();
  for (size_t i = 0; i < size;) {
    const unsigned char lead = bytes[i];
    size_t length = 0;
    unsigned long code = 0;
    unsigned long smallest = 0;
    if (lead < 0x80) {
      valid += static_cast<char>(lead);
      ++i;
      continue;
    }
    if (lead >= 0xc2 && lead <= 0xdf) {
      length = 2, code = lead & 0x1f, smallest = 0x80;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      length = 3, code = lead & 0x0f, smallest = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      length = 4, code = lead & 0x07, smallest = 0x10000;
    }
    size_t taken = 1;
    while (length != 0 && taken < length && i + taken < size && (bytes[i + taken] & 0xc0) == 0x80) {
      code = code << 6 | (bytes[i + taken] & 0x3f);
      ++taken;
    }
    // Overlong forms, surrogates and code points beyond U+10FFFF are not UTF-8.
    if (length != 0 && taken == length && code >= smallest && code <= 0x10ffff &&
        (code < 0xd800 || code > 0xdfff)) {
      valid.append(text, i, length);
    } else {
      valid += "\xef\xbf\xbd";
    }
    i += taken;
  }
  return valid;
}

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (const char c : utf8_valid(text)) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < ' ' || u == 0x7f) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", u);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

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

namespace {

std::string fields_read(const std::vector<Parameter>& fields,
                        std::initializer_list<const char*> names, Parameters* parameters) {
  parameters->value.assign(names.size(), "");
  parameters->given.assign(names.size(), false);
  for (const Parameter& parameter : fields) {
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

}  // namespace

std::string parameters_read(const Request& request, std::initializer_list<const char*> names,
                            Parameters* parameters) {
  return fields_read(request.query, names, parameters);
}

std::string form_read(const Request& request, std::initializer_list<const char*> names,
                      Parameters* parameters) {
  return fields_read(request.form, names, parameters);
}

Reply route(const ServerOptions& options, const char* method, const Request& request) {
  for (const Route& route : options.routes) {
    if (request.path != route.path) continue;
    const bool get =
        strcmp(method, MHD_HTTP_METHOD_GET) == 0 || strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    const bool post = strcmp(method, MHD_HTTP_METHOD_POST) == 0;
    if (route.post ? !post : !get) {
      Reply reply = refusal(405, route.post ? "only POST" : "only GET and HEAD");
      reply.headers.emplace_back(MHD_HTTP_HEADER_ALLOW, route.post ? "POST" : "GET, HEAD");
      return reply;
    }
    return route.handler(options.context, request);
  }
  return refusal(404, options.not_found);
}

int serve(const ServerOptions& options) {
  program_name = options.program;
  // The signals that end the server, and SIGHUP, wait for this thread
  // alone: the library's threads inherit the mask.
  sigset_t waited;
  sigemptyset(&waited);
  sigaddset(&waited, SIGINT);
  sigaddset(&waited, SIGTERM);
  sigaddset(&waited, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &waited, nullptr);
  signal(SIGPIPE, SIG_IGN);

  sockaddr_in listen = options.listen;
  const bool tls = !options.tls_key.empty() && !options.tls_cert.empty();
  const MHD_OptionItem settings[] = {
      {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(library_log), nullptr},
      {MHD_OPTION_SOCK_ADDR, 0, &listen},
      {MHD_OPTION_CONNECTION_LIMIT, options.connections, nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, nullptr},
      {MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, nullptr},
      {MHD_OPTION_THREAD_STACK_SIZE, kThreadStack, nullptr},
      {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(completed), nullptr},
      {tls ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END, 0,
       const_cast<char*>(options.tls_key.c_str())},
      {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(options.tls_cert.c_str())},
      {MHD_OPTION_END, 0, nullptr},
  };
  MHD_Daemon* daemon =
      MHD_start_daemon(MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD |
                           MHD_USE_AUTO | MHD_USE_ERROR_LOG | (tls ? MHD_USE_TLS : 0),
                       0, nullptr, nullptr, answer, const_cast<ServerOptions*>(&options),
                       MHD_OPTION_ARRAY, settings, MHD_OPTION_END);
  char address[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &listen.sin_addr, address, sizeof address);
  if (daemon == nullptr) {
    fprintf(stderr, "%s: cannot serve HTTP%s on %s:%d\n", options.program, tls ? "S" : "", address,
            ntohs(listen.sin_port));
    return 1;
  }
  fprintf(stderr, "%s: listening on %s:%d%s\n", options.program, address, ntohs(listen.sin_port),
          tls ? " (HTTPS)" : "");
  for (;;) {
    int signal_number = 0;
    if (sigwait(&waited, &signal_number) != 0) continue;
    if (signal_number != SIGHUP) break;
    if (options.reload != nullptr) {
      options.reload(options.context);
    } else {
      fprintf(stderr, "%s: nothing to reload\n", options.program);
    }
  }
  MHD_stop_daemon(daemon);
  return 0;
}

}  // namespace http
