#include "exporter/server.h"

#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <microhttpd.h>
#include <mutex>
#include <netdb.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "client/fleet.h"
#include "client/parse.h"
#include "exporter/probe.h"
#include "protocol/protocol.h"

namespace exporter {

namespace {

// Bounds of the HTTP side. Requests are one line of a few hundred bytes:
// whatever does not fit a connection's memory is refused by the library.
constexpr size_t kConnectionMemory = 16 * 1024;
constexpr unsigned kIdleSeconds = 30;              // a connection with nothing to do is closed
constexpr unsigned kConnectionsBeyondProbes = 64;  // room for idle keep-alive connections
constexpr size_t kThreadStack = 256 * 1024;
constexpr off_t kLargestSettingsFile = 1 << 20;
constexpr size_t kLongestName = 253;  // of a host name, as DNS has it

constexpr const char kTextType[] = "text/plain; charset=utf-8";
constexpr const char kJsonType[] = "application/json";

// The answers other than 200, counted on /metrics.
constexpr unsigned kRefusedCodes[] = {400, 403, 404, 405, 503};
constexpr int kRefusedKinds = sizeof kRefusedCodes / sizeof kRefusedCodes[0];

struct Server {
  const Options* options;
  std::atomic<int> running{0};  // probes and discoveries
  std::atomic<unsigned long long> probes{0};
  std::atomic<unsigned long long> failures{0};
  std::atomic<unsigned long long> discoveries{0};
  std::atomic<unsigned long long> refused[kRefusedKinds] = {};
};

struct Reply {
  unsigned code;
  std::string body;
  const char* type;
};

Reply refusal(unsigned code, const std::string& message) {
  return Reply{code, message + "\n", kTextType};
}

// The query string's arguments, each given at most once, all of them known.
struct Arguments {
  explicit Arguments(const char* const* names) : known(names) {}
  const char* const* known;  // names, ending in nullptr
  std::string value[2];
  bool given[2] = {};
  std::string problem;
};

MHD_Result argument_take(void* context, MHD_ValueKind, const char* key, size_t key_size,
                         const char* value, size_t value_size) {
  Arguments* arguments = static_cast<Arguments*>(context);
  if (!arguments->problem.empty()) return MHD_NO;
  const std::string name(key, key_size);
  int index = 0;
  while (arguments->known[index] != nullptr && name != arguments->known[index]) ++index;
  if (arguments->known[index] == nullptr) {
    arguments->problem = "unknown parameter '" + label_value(name.c_str()) + "'";
  } else if (arguments->given[index]) {
    arguments->problem = "parameter '" + name + "' given twice";
  } else if (value == nullptr || memchr(value, '\0', value_size) != nullptr) {
    arguments->problem = "parameter '" + name + "' without a value, or with a NUL byte";
  } else {
    arguments->given[index] = true;
    arguments->value[index].assign(value, value_size);
  }
  return arguments->problem.empty() ? MHD_YES : MHD_NO;
}

bool arguments_read(MHD_Connection* connection, Arguments* arguments) {
  MHD_get_connection_values_n(connection, MHD_GET_ARGUMENT_KIND, argument_take, arguments);
  return arguments->problem.empty();
}

std::string address_text(uint32_t host_order) {
  char text[INET_ADDRSTRLEN];
  const in_addr address{htonl(host_order)};
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

// An IPv4 address, or a host name that resolves to one; false with a message.
bool target_resolve(const std::string& text, in_addr* address, std::string* problem) {
  if (inet_pton(AF_INET, text.c_str(), address) == 1) return true;
  bool plain = !text.empty() && text.size() <= kLongestName && text[0] != '-';
  for (char c : text)
    plain = plain && (isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_');
  if (!plain) {
    *problem =
        "target '" + label_value(text.c_str()) + "' is neither an IPv4 address nor a host name";
    return false;
  }
  sockaddr_in resolved;
  const int error = fleet_lookup(text.c_str(), &resolved);
  if (error != 0) {
    *problem =
        "target '" + text + "' does not resolve to an IPv4 address (" + gai_strerror(error) + ")";
    return false;
  }
  *address = resolved.sin_addr;
  return true;
}

// A running probe or discovery, as long as no more than --max-probes run.
class Slot {
 public:
  explicit Slot(Server* server) : server_(server) {
    taken_ = server->running.fetch_add(1) < server->options->max_probes;
  }
  ~Slot() { server_->running.fetch_sub(1); }
  bool taken() const { return taken_; }

 private:
  Server* server_;
  bool taken_;
};

Reply busy(const Server& server) {
  return refusal(503, "more than " + std::to_string(server.options->max_probes) +
                          " probes at once (--max-probes)");
}

// The commands of a settings file, and the text they point into.
struct SettingsFile {
  SettingsFile() = default;
  SettingsFile(const SettingsFile&) = delete;
  SettingsFile& operator=(const SettingsFile&) = delete;
  std::string text;
  Commands commands{};
  ~SettingsFile() {
    free(commands.lines);
    free(commands.numbers);
  }
};

// Opens the settings file NAME of the folder and takes its commands apart;
// an empty string, or why not.
std::string settings_load(const Options& options, const std::string& name, SettingsFile* file) {
  if (options.settings_dir.empty()) return "no --settings-dir given: settings= cannot be used";
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.size() > NAME_MAX) {
    return "settings '" + label_value(name.c_str()) +
           "' is not the name of a file in the settings folder";
  }
  const int folder = open(options.settings_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) {
    const int error = errno;
    fprintf(stderr, "orvo-exporter: cannot open the settings folder %s: %s\n",
            options.settings_dir.c_str(), strerror(error));
    return "the settings folder cannot be opened";
  }
  // Only a plain file right in the folder: no link is followed, and a FIFO
  // or device is never waited on.
  const int fd =
      openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  const int error = errno;
  close(folder);
  if (fd < 0) {
    return error == ENOENT
               ? "no settings file '" + name + "' in the settings folder"
               : "settings file '" + name + "' cannot be opened (" +
                     std::string(error == ELOOP ? "a symbolic link" : strerror(error)) + ")";
  }
  struct stat status;
  std::string problem;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    problem = "settings '" + name + "' is not a plain file";
  } else if (status.st_size > kLargestSettingsFile) {
    problem = "settings file '" + name + "' is larger than 1 MiB";
  } else {
    char chunk[4096];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0 &&
           file->text.size() <= static_cast<size_t>(kLargestSettingsFile)) {
      file->text.append(chunk, static_cast<size_t>(got));
    }
    if (got < 0) problem = "settings file '" + name + "' cannot be read (" + strerror(errno) + ")";
    if (file->text.size() > static_cast<size_t>(kLargestSettingsFile)) {
      problem = "settings file '" + name + "' is larger than 1 MiB";
    }
  }
  close(fd);
  if (!problem.empty()) return problem;
  // The client's reader says what is wrong with a file, as orvo-udpc -a would.
  char* message = nullptr;
  size_t length = 0;
  FILE* errors = open_memstream(&message, &length);
  if (errors == nullptr) return "out of memory";
  const int read =
      commands_take(file->text.data(), file->text.size(), name.c_str(), &file->commands, errors);
  fclose(errors);
  if (read != kFleetOk) {
    problem = length > 0 ? std::string(message, strcspn(message, "\n")) : "out of memory";
  } else {
    problem = settings_check(file->commands, name.c_str());
  }
  free(message);
  return problem;
}

Reply probe(Server* server, MHD_Connection* connection) {
  const Options& options = *server->options;
  static const char* const kKnown[] = {"target", "settings", nullptr};
  Arguments arguments(kKnown);
  if (options.targets.empty()) return refusal(403, "no --targets given: nothing may be probed");
  if (!arguments_read(connection, &arguments)) return refusal(400, arguments.problem);
  if (!arguments.given[0]) return refusal(400, "no target given (/probe?target=HOST)");
  std::string problem;
  in_addr address;
  if (!target_resolve(arguments.value[0], &address, &problem)) return refusal(400, problem);
  const Network one{ntohl(address.s_addr), ntohl(address.s_addr)};
  if (!networks_hold(options.targets, one)) {
    return refusal(403, "target " + address_text(one.first) + " is outside the --targets");
  }
  SettingsFile settings;
  if (arguments.given[1]) {
    problem = settings_load(options, arguments.value[1], &settings);
    if (!problem.empty()) return refusal(400, problem);
  }
  Reply reply{200, "", kMetricsType};
  {
    const Slot slot(server);
    if (!slot.taken()) {
      reply = busy(*server);
    } else {
      sockaddr_in peer{};
      peer.sin_family = AF_INET;
      peer.sin_port = htons(orvo::kControlPort);
      peer.sin_addr = address;
      const ProbeResult result = probe_run(peer, arguments.given[1] ? &settings.commands : nullptr,
                                           options.timeout_ms, &reply.body);
      if (result == kProbeBroadcast) {
        reply = refusal(400, "target " + address_text(ntohl(address.s_addr)) +
                                 " is a broadcast address (/discover finds appliances with it)");
      } else {
        ++server->probes;
        if (result == kProbeDown) ++server->failures;
      }
    }
  }
  return reply;
}

void json_string(std::string* out, const char* text) {
  *out += '"';
  for (const char* c = text; *c != '\0'; ++c) {
    const unsigned char u = static_cast<unsigned char>(*c);
    if (u == '"' || u == '\\') {
      *out += '\\';
      *out += *c;
    } else if (u < ' ') {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", u);
      *out += escaped;
    } else {
      *out += *c;
    }
  }
  *out += '"';
}

Reply discover(Server* server, MHD_Connection* connection) {
  const Options& options = *server->options;
  static const char* const kKnown[] = {"range", nullptr};
  Arguments arguments(kKnown);
  if (options.targets.empty()) return refusal(403, "no --targets given: nothing may be probed");
  if (!arguments_read(connection, &arguments)) return refusal(400, arguments.problem);
  if (!arguments.given[0]) return refusal(400, "no range given (/discover?range=A.B.C.D/BITS)");
  Network range;
  if (!network_parse(arguments.value[0], 16, &range)) {
    return refusal(400, "range '" + label_value(arguments.value[0].c_str()) +
                            "' is not an address or A.B.C.D/BITS with BITS from 16 to 32");
  }
  if (!networks_hold(options.targets, range)) {
    return refusal(403, "range " + arguments.value[0] + " is not inside the --targets");
  }
  const Slot slot(server);
  if (!slot.taken()) return busy(*server);
  ++server->discoveries;
  FleetAppliance* found = nullptr;
  int count = 0;
  char* texts[] = {arguments.value[0].data()};
  // Answers are collected for half the time-out: the rest is for sending to
  // a large range, and Prometheus' request should end well within its own.
  const FleetTiming timing{options.timeout_ms, 0, options.timeout_ms / 2};
  if (fleet_discover(texts, 1, timing, &found, &count) != kFleetOk) {
    return refusal(400, "range '" + arguments.value[0] + "' cannot be searched");
  }
  // Only what may be probed: a broadcast reaches further than --targets may.
  Reply reply{200, "[", kJsonType};
  bool first = true;
  for (int i = 0; i < count; ++i) {
    if (!networks_hold(options.targets, Network{found[i].address, found[i].address})) continue;
    reply.body += first ? "\n  " : ",\n  ";
    first = false;
    reply.body += "{\"targets\": [\"" + address_text(found[i].address) +
                  "\"], \"labels\": {\"__meta_orvo_version\": ";
    json_string(&reply.body, found[i].version != nullptr ? found[i].version : "");
    reply.body += "}}";
  }
  reply.body += first ? "]\n" : "\n]\n";
  fleet_appliances_free(found, count);
  return reply;
}

void counter(std::string* out, const char* name, const char* help, unsigned long long value) {
  *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " counter\n" + name +
          " " + std::to_string(value) + "\n";
}

Reply own_metrics(const Server& server) {
  Reply reply{200,
              "# HELP orvo_exporter_build_info The exporter's version.\n"
              "# TYPE orvo_exporter_build_info gauge\n"
              "orvo_exporter_build_info{version=\"" ORVO_VERSION "\"} 1\n",
              kMetricsType};
  counter(&reply.body, "orvo_exporter_probes_total", "Probes run.", server.probes.load());
  counter(&reply.body, "orvo_exporter_probe_failures_total",
          "Probes of an appliance that did not answer.", server.failures.load());
  counter(&reply.body, "orvo_exporter_discoveries_total", "Discoveries run.",
          server.discoveries.load());
  reply.body +=
      "# HELP orvo_exporter_requests_refused_total Requests answered with an error, by status.\n"
      "# TYPE orvo_exporter_requests_refused_total counter\n";
  for (int i = 0; i < kRefusedKinds; ++i) {
    reply.body += "orvo_exporter_requests_refused_total{code=\"" +
                  std::to_string(kRefusedCodes[i]) + "\"} " +
                  std::to_string(server.refused[i].load()) + "\n";
  }
  reply.body += "# HELP orvo_exporter_probes_running Probes and discoveries running now.\n"
                "# TYPE orvo_exporter_probes_running gauge\n"
                "orvo_exporter_probes_running " +
                std::to_string(server.running.load()) + "\n";
  return reply;
}

Reply route(Server* server, MHD_Connection* connection, const char* url, const char* method) {
  const bool known =
      strcmp(url, "/probe") == 0 || strcmp(url, "/discover") == 0 || strcmp(url, "/metrics") == 0;
  if (!known) return refusal(404, "not found: the exporter serves /probe, /discover and /metrics");
  if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
    return refusal(405, "only GET and HEAD");
  }
  if (strcmp(url, "/probe") == 0) return probe(server, connection);
  if (strcmp(url, "/discover") == 0) return discover(server, connection);
  return own_metrics(*server);
}

MHD_Result answer(void* context, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, size_t* upload_size, void** request) {
  // Answered once the whole request is in (so that the connection can stay
  // open for the next one); a body, which no request here has, is dropped.
  static int marker;
  if (*request == nullptr) {
    *request = &marker;
    return MHD_YES;
  }
  if (*upload_size != 0) {
    *upload_size = 0;
    return MHD_YES;
  }
  Server* server = static_cast<Server*>(context);
  const Reply reply = route(server, connection, url, method);
  for (int i = 0; i < kRefusedKinds; ++i) {
    if (reply.code == kRefusedCodes[i]) ++server->refused[i];
  }
  MHD_Response* response = MHD_create_response_from_buffer(
      reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.type);
  if (reply.code == 405) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  const MHD_Result queued = MHD_queue_response(connection, reply.code, response);
  MHD_destroy_response(response);
  return queued;
}

// The library speaks of each connection it refuses or cuts (over the
// limit, too large, timed out): at most this many lines a minute, so that a
// flood of them cannot flood the log.
constexpr int kLibraryLinesPerMinute = 10;

void library_log(void*, const char* format, va_list arguments) {
  static std::mutex mutex;
  static long long minute_start = 0;
  static int lines = 0;
  {
    const std::lock_guard lock(mutex);
    const long long now = fleet_now_ms();
    if (now - minute_start >= 60000) {
      if (lines > kLibraryLinesPerMinute) {
        fprintf(stderr, "orvo-exporter: %d further messages of the HTTP library left out\n",
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
  fprintf(stderr, "orvo-exporter: %.*s\n", static_cast<int>(length), line);
}

}  // namespace

int serve(const Options& options) {
  // The signals that end the server wait for this thread alone: the
  // library's threads inherit the mask.
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGINT);
  sigaddset(&ending, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Server server;
  server.options = &options;
  sockaddr_in listen = options.listen;
  MHD_Daemon* daemon = MHD_start_daemon(
      MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO |
          MHD_USE_ERROR_LOG,
      0, nullptr, nullptr, answer, &server, MHD_OPTION_EXTERNAL_LOGGER, library_log, nullptr,
      MHD_OPTION_SOCK_ADDR, &listen, MHD_OPTION_CONNECTION_LIMIT,
      static_cast<unsigned>(options.max_probes) + kConnectionsBeyondProbes,
      MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      kConnectionMemory, MHD_OPTION_THREAD_STACK_SIZE, kThreadStack, MHD_OPTION_END);
  const std::string where =
      address_text(ntohl(listen.sin_addr.s_addr)) + ":" + std::to_string(ntohs(listen.sin_port));
  if (daemon == nullptr) {
    fprintf(stderr, "orvo-exporter: cannot serve HTTP on %s\n", where.c_str());
    return 1;
  }
  fprintf(stderr, "orvo-exporter: listening on %s\n", where.c_str());
  int signal_number = 0;
  while (sigwait(&ending, &signal_number) != 0) {
  }
  MHD_stop_daemon(daemon);
  return 0;
}

}  // namespace exporter
