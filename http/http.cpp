#include "http/http.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <microhttpd.h>
#include <mutex>
#include <netdb.h>
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

// A stream says something at least this often (a comment when it has
// nothing), well within the connection's idle limit, which counts from the
// last byte sent; and it looks whether the server is stopping this often.
constexpr long long kKeepAliveMs = 15000;
constexpr int kStreamWaitMs = 250;
static_assert(kKeepAliveMs < kIdleSeconds * 1000);

// What serve shares with the library's threads.
struct Served {
  const ServerOptions* options;
  std::atomic<bool> stopping{false};
  std::atomic<unsigned> streams{0};
};

long long monotonic_ms();

// One streaming reply on its way: what is left to send of the last piece.
struct Streaming {
  Served* served;
  StreamSource source;
  std::string pending;
  size_t sent = 0;
  bool ended = false;     // the source has no more
  long long said_ms = 0;  // when something was last handed to the library
};

ssize_t stream_read(void* context, uint64_t, char* buffer, size_t room) {
  auto* stream = static_cast<Streaming*>(context);
  // The library's thread waits here until there is something to send: in
  // its thread-per-connection mode, 0 bytes would have it call again at once.
  while (stream->sent == stream->pending.size()) {
    stream->pending.clear();
    stream->sent = 0;
    if (stream->ended || stream->served->stopping) return MHD_CONTENT_READER_END_OF_STREAM;
    const long long quiet = monotonic_ms() - stream->said_ms;
    if (quiet >= kKeepAliveMs) {
      stream->pending = ": keep-alive\n\n";
      break;
    }
    const int wait = static_cast<int>(std::min<long long>(kStreamWaitMs, kKeepAliveMs - quiet));
    if (!stream->source(&stream->pending, wait)) stream->ended = true;
  }
  const size_t size = std::min(room, stream->pending.size() - stream->sent);
  memcpy(buffer, stream->pending.data() + stream->sent, size);
  stream->sent += size;
  stream->said_ms = monotonic_ms();
  return static_cast<ssize_t>(size);
}

void stream_free(void* context) {
  auto* stream = static_cast<Streaming*>(context);
  --stream->served->streams;
  delete stream;
}

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
  Served& served = *static_cast<Served*>(context);
  const ServerOptions& options = *served.options;
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
  Reply reply = upload->unusable ? refusal(upload->size > kLargestForm ? 413 : 400,
                                           upload->size > kLargestForm ? "the form is too large"
                                                                       : "the form cannot be read")
                                 : route(options, method, request);
  MHD_Response* response = nullptr;
  if (reply.stream && ++served.streams > options.streams) {
    --served.streams;
    reply = refusal(503, "too many streams open; try again later");
    reply.headers.emplace_back(MHD_HTTP_HEADER_RETRY_AFTER, "10");
  } else if (reply.stream) {
    auto* stream = new Streaming{&served, std::move(reply.stream), std::move(reply.body)};
    stream->said_ms = monotonic_ms();
    response =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, stream_read, stream, stream_free);
    if (response == nullptr) stream_free(stream);
  }
  if (options.answered != nullptr) options.answered(options.context, reply.code);
  if (response == nullptr && !reply.stream) {
    response = MHD_create_response_from_buffer(
        reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
  }
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.type);
  for (const auto& [name, value] : reply.headers) {
    MHD_add_response_header(response, name.c_str(), value.c_str());
  }
  for (const auto& [name, value] : options.headers) {
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

bool listen_parse(const char* text, sockaddr_in* address) {
  const char* colon = strrchr(text, ':');
  if (colon == nullptr) return false;
  long port;
  if (!number_parse(colon + 1, 1, 65535, &port)) return false;
  const std::string host(text, colon);
  memset(address, 0, sizeof *address);
  address->sin_family = AF_INET;
  address->sin_port = htons(static_cast<uint16_t>(port));
  if (host.empty()) return true;
  if (inet_pton(AF_INET, host.c_str(), &address->sin_addr) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  address->sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

bool networks_parse(const char* text, std::vector<AddressRange>* networks, std::string* bad) {
  for (const char* p = text;;) {
    const char* comma = strchr(p, ',');
    const std::string item = comma != nullptr ? std::string(p, comma) : std::string(p);
    AddressRange network;
    if (!range_parse(item.c_str(), 0, &network)) {
      *bad = item;
      return false;
    }
    networks->push_back(network);
    if (comma == nullptr) return true;
    p = comma + 1;
  }
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
  if (options.admit != nullptr) {
    Reply admitted = options.admit(options.context, request);
    if (admitted.code != 0) return admitted;
  }
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
  if (options.other != nullptr &&
      (strcmp(method, MHD_HTTP_METHOD_GET) == 0 || strcmp(method, MHD_HTTP_METHOD_HEAD) == 0)) {
    return options.other(options.context, request);
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
  Served served{&options};
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
  MHD_Daemon* daemon = MHD_start_daemon(
      MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO |
          MHD_USE_ERROR_LOG | (tls ? MHD_USE_TLS : 0),
      0, nullptr, nullptr, answer, &served, MHD_OPTION_ARRAY, settings, MHD_OPTION_END);
  char address[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &listen.sin_addr, address, sizeof address);
  if (daemon == nullptr) {
    fprintf(stderr, "%s: cannot serve HTTP%s on %s:%d\n", options.program, tls ? "S" : "", address,
            ntohs(listen.sin_port));
    return 1;
  }
  fprintf(stderr, "%s: listening on %s:%d%s\n", options.program, address, ntohs(listen.sin_port),
          tls ? " (HTTPS)" : "");
  if (options.started != nullptr) options.started(options.context);
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
  // Open streams end within their next wait, each with its last chunk, so
  // that a browser sees them end rather than cut; then the library closes
  // the connections and its threads end.
  served.stopping = true;
  for (int waits = 0; served.streams > 0 && waits < 4 * kStreamWaitMs / 10; ++waits) {
    const timespec wait{0, 10 * 1000 * 1000};
    nanosleep(&wait, nullptr);
  }
  MHD_stop_daemon(daemon);
  return 0;
}

}  // namespace http
