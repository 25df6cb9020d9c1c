#include "exporter/handlers.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netdb.h>
#include <sys/stat.h>

#include "client/fleet.h"
#include "exporter/metrics.h"
#include "exporter/probe.h"
#include "exporter/settings_folder.h"
#include "site/site.h"

namespace exporter {

namespace {

constexpr unsigned kConnectionsBeyondProbes = 64;  // room for idle keep-alive connections
constexpr size_t kLongestName = 253;               // of a host name, as DNS has it

using http::refusal;
using http::Reply;

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
    *problem = "target '" + http::quotable(text) + "' is neither an IPv4 address nor a host name";
    return false;
  }
  sockaddr_in resolved;
  const int error = host_resolve(text.c_str(), 0, &resolved);
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
  explicit Slot(Exporter* exporter) : exporter_(exporter) {
    taken_ = exporter->running.fetch_add(1) < exporter->options->max_probes;
  }
  ~Slot() { exporter_->running.fetch_sub(1); }
  bool taken() const { return taken_; }

 private:
  Exporter* exporter_;
  bool taken_;
};

Reply busy(const Exporter& exporter) {
  return refusal(503, "more than " + std::to_string(exporter.options->max_probes) +
                          " probes at once (--max-probes)");
}

void counter(std::string* out, const char* name, const char* help, unsigned long long value) {
  single(out, name, "counter", help, static_cast<long long>(value));
}

// A route's handler behind the basic authentication, when there is one.
using ExporterHandler = Reply (*)(Exporter* exporter, const http::Request& request);
Reply guarded(void* context, const http::Request& request, ExporterHandler handler) {
  Exporter* exporter = static_cast<Exporter*>(context);
  if (exporter->authenticated &&
      !(request.credentials && exporter->users.match(request.user, request.password))) {
    Reply refused = refusal(401, "a user and password are needed (basic authentication)");
    refused.headers.push_back({"WWW-Authenticate", "Basic realm=\"orvo-exporter\""});
    return refused;
  }
  return handler(exporter, request);
}

void answered(void* context, unsigned code) {
  Exporter* exporter = static_cast<Exporter*>(context);
  for (int i = 0; i < kRefusedKinds; ++i) {
    if (code == kRefusedCodes[i]) ++exporter->refused[i];
  }
}

}  // namespace

Reply probe(Exporter* exporter, const http::Request& request) {
  const Options& options = *exporter->options;
  if (options.targets.empty()) return refusal(403, "no --targets given: nothing may be probed");
  http::Parameters parameters;
  std::string problem = http::parameters_read(request, {"target", "settings"}, &parameters);
  if (!problem.empty()) return refusal(400, problem);
  if (!parameters.given[0]) return refusal(400, "no target given (/probe?target=HOST)");
  in_addr address;
  if (!target_resolve(parameters.value[0], &address, &problem)) return refusal(400, problem);
  const AddressRange one{ntohl(address.s_addr), ntohl(address.s_addr)};
  if (!networks_hold(options.targets, one)) {
    return refusal(403, "target " + address_text(one.first) + " is outside the --targets");
  }
  SettingsFile settings;
  if (parameters.given[1]) {
    problem = settings_load(options.settings_dir, parameters.value[1], &settings);
    if (!problem.empty()) return refusal(400, problem);
  }
  const Slot slot(exporter);
  if (!slot.taken()) return busy(*exporter);
  Reply reply{200, "", kMetricsType};
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(options.appliance_port);
  peer.sin_addr = address;
  const ProbeResult result = probe_run(peer, parameters.given[1] ? &settings.commands : nullptr,
                                       options.timeout_ms, &reply.body);
  if (result == kProbeBroadcast) {
    return refusal(400, "target " + address_text(one.first) +
                            " is a broadcast address (/discover finds appliances with it)");
  }
  ++exporter->probes;
  if (result == kProbeDown) ++exporter->failures;
  return reply;
}

namespace {

// Says each problem on a line of the log.
void said(const char* what, const std::vector<std::string>& problems) {
  for (const std::string& problem : problems) {
    fprintf(stderr, "orvo-exporter: %s%s\n", what, http::quotable(problem).c_str());
  }
}

// The rooms of site.conf, read again when it changed.
std::vector<site::Room> rooms_now(Exporter* exporter) {
  std::vector<std::string> problems;
  if (exporter->rooms.refresh(exporter->options->settings_dir, false, &problems)) {
    said("", problems);
  }
  return exporter->rooms.rooms();
}

// Whether the settings folder has a plain file of that name.
bool settings_file_exists(const std::string& folder, const std::string& name) {
  struct stat status;
  return !folder.empty() && lstat((folder + "/" + name).c_str(), &status) == 0 &&
         S_ISREG(status.st_mode);
}

void json_label(std::string* out, const char* name, const std::string& value) {
  *out += ", \"";
  *out += name;
  *out += "\": " + http::json_string(value);
}

}  // namespace

Reply discover(Exporter* exporter, const http::Request& request) {
  const Options& options = *exporter->options;
  if (options.targets.empty()) return refusal(403, "no --targets given: nothing may be probed");
  http::Parameters parameters;
  const std::string problem = http::parameters_read(request, {"range"}, &parameters);
  if (!problem.empty()) return refusal(400, problem);
  if (!parameters.given[0]) return refusal(400, "no range given (/discover?range=A.B.C.D/BITS)");
  const std::string& text = parameters.value[0];
  AddressRange range;
  if (!range_parse(text.c_str(), 16, &range)) {
    return refusal(400, "range '" + http::quotable(text) +
                            "' is not an address or A.B.C.D/BITS with BITS from 16 to 32");
  }
  if (!networks_hold(options.targets, range)) {
    return refusal(403, "range " + text + " is not inside the --targets");
  }
  const Slot slot(exporter);
  if (!slot.taken()) return busy(*exporter);
  ++exporter->discoveries;
  // Two rounds of sending, each within a quarter of the time-out, and the
  // answers of both within half of it: the whole within the time-out.
  const Timing timing{options.timeout_ms, 0, options.timeout_ms / 2};
  FindTarget target{range, 0};
  Found found;
  const int error = appliances_find(&target, 1, timing, options.appliance_port, &found);
  if (error != 0) {
    return refusal(503, "range " + text + " cannot be searched (" + strerror(error) + ")");
  }
  // The roster keeps what may be probed: a broadcast reaches further than
  // --targets may.
  const std::string via = site::net_text(range);
  std::vector<Sighting> seen;
  for (int i = 0; i < found.count; ++i) {
    const Appliance& appliance = found.list[i];
    if (networks_hold(options.targets, AddressRange{appliance.address, appliance.address})) {
      seen.push_back({appliance.address, appliance.version != nullptr ? appliance.version : ""});
    }
  }
  appliances_free(&found);
  const long long now = time(nullptr);
  const std::string kept = exporter->roster.update(seen, via, now);
  if (!kept.empty()) said("", {kept});
  // A list that may be short must not replace the one Prometheus has.
  if (target.send_error != 0) {
    const std::string why = "range " + text + " could not be searched whole (" +
                            strerror(target.send_error) + "): the targets stay as they were";
    said("", {why});
    return refusal(503, why);
  }
  const std::vector<site::Room> rooms = rooms_now(exporter);
  Reply reply{200, "[", http::kJsonType};
  bool first = true;
  for (const RosterEntry& entry : exporter->roster.listed(range, via, now)) {
    if (!networks_hold(options.targets, AddressRange{entry.address, entry.address})) continue;
    reply.body += first ? "\n  " : ",\n  ";
    first = false;
    reply.body += "{\"targets\": [\"" + address_text(entry.address) +
                  "\"], \"labels\": {\"__meta_orvo_version\": ";
    reply.body += http::json_string(entry.version);
    json_label(&reply.body, "__meta_orvo_first_seen", std::to_string(entry.first_seen));
    json_label(&reply.body, "__meta_orvo_last_seen", std::to_string(entry.last_seen));
    const site::Room* room = site::site_room(rooms, entry.address);
    if (room != nullptr) {
      json_label(&reply.body, "room", room->name);
      if (settings_file_exists(options.settings_dir, room->name)) {
        json_label(&reply.body, "__param_settings", room->name);
      }
    }
    reply.body += "}}";
  }
  reply.body += first ? "]\n" : "\n]\n";
  return reply;
}

Reply own_metrics(const Exporter& exporter) {
  Reply reply{200, "", kMetricsType};
  std::string* out = &reply.body;
  family(out, "orvo_exporter_build_info", "gauge", "The exporter's version.");
  sample(out, "orvo_exporter_build_info", {{"version", ORVO_VERSION}}, 1);
  counter(out, "orvo_exporter_probes_total", "Probes run.", exporter.probes.load());
  counter(out, "orvo_exporter_probe_failures_total", "Probes of an appliance that did not answer.",
          exporter.failures.load());
  counter(out, "orvo_exporter_discoveries_total", "Discoveries run.", exporter.discoveries.load());
  family(out, "orvo_exporter_requests_refused_total", "counter",
         "Requests answered with an error, by status.");
  for (int i = 0; i < kRefusedKinds; ++i) {
    sample(out, "orvo_exporter_requests_refused_total",
           {{"code", std::to_string(kRefusedCodes[i])}},
           static_cast<long long>(exporter.refused[i].load()));
  }
  single(out, "orvo_exporter_probes_running", "gauge", "Probes and discoveries running now.",
         exporter.running.load());
  single(out, "orvo_exporter_roster_appliances", "gauge",
         "Appliances in the roster, which /discover lists.",
         static_cast<long long>(exporter.roster.size(time(nullptr))));
  single(out, "orvo_exporter_site_file_usable", "gauge",
         "Whether site.conf was read without a problem (or is not there).",
         exporter.rooms.usable() ? 1 : 0);
  return reply;
}

http::ServerOptions server_options(Exporter* exporter) {
  const Options& options = *exporter->options;
  http::ServerOptions server;
  server.program = "orvo-exporter";
  server.listen = options.listen;
  server.connections = static_cast<unsigned>(options.max_probes) + kConnectionsBeyondProbes;
  server.routes = {
      {"/probe", [](void* context,
                    const http::Request& request) { return guarded(context, request, probe); }},
      {"/discover",
       [](void* context, const http::Request& request) {
         return guarded(context, request, discover);
       }},
      {"/metrics",
       [](void* context, const http::Request& request) {
         return guarded(context, request, [](Exporter* exporter, const http::Request&) {
           return own_metrics(*exporter);
         });
       }},
  };
  server.not_found = "not found: the exporter serves /probe, /discover and /metrics";
  server.context = exporter;
  server.answered = answered;
  server.reload = reload;
  return server;
}

std::string prepare(Exporter* exporter) {
  const Options& options = *exporter->options;
  exporter->roster.set_up(options.state_dir, options.forget_after_s);
  std::vector<std::string> problems;
  // A roster that cannot be read is not overwritten with an empty one.
  if (!exporter->roster.load(&problems)) return problems[0];
  said("", problems);
  exporter->rooms.refresh(options.settings_dir, true, &problems);
  said("", problems);
  exporter->authenticated = !options.basic_auth_file.empty();
  if (exporter->authenticated) {
    problems = exporter->users.load(options.basic_auth_file);
    if (!problems.empty()) return problems[0];
    if (exporter->users.empty()) return options.basic_auth_file + " names no user";
  }
  return "";
}

void reload(void* context) {
  Exporter* exporter = static_cast<Exporter*>(context);
  const Options& options = *exporter->options;
  std::vector<std::string> problems;
  exporter->rooms.refresh(options.settings_dir, true, &problems);
  said("", problems);
  std::string done = "site.conf (rooms: " + std::to_string(exporter->rooms.rooms().size());
  if (!exporter->rooms.usable()) done += ", lines left out";
  const bool read = exporter->roster.load(&problems);
  said("", problems);
  done += ") and the roster (appliances: " + std::to_string(exporter->roster.size(time(nullptr))) +
          (options.state_dir.empty() ? ", kept in memory alone)"
           : read                    ? ")"
                                     : ", its file unreadable: kept as it was)");
  if (exporter->authenticated) {
    problems = exporter->users.load(options.basic_auth_file);
    said("", problems);
    done += problems.empty() ? " and the users' file" : " and the users' file (lines left out)";
  }
  fprintf(stderr, "orvo-exporter: reloaded %s\n", done.c_str());
}

int serve(const Options& options) {
  Exporter exporter;
  exporter.options = &options;
  const std::string problem = prepare(&exporter);
  if (!problem.empty()) {
    fprintf(stderr, "orvo-exporter: %s\n", http::quotable(problem).c_str());
    return 1;
  }
  http::ServerOptions server = server_options(&exporter);
  if (!options.tls_cert.empty()) {
    // Read before the server starts: a key that cannot be read stops it here.
    for (auto [path, text] : {std::pair{&options.tls_cert, &server.tls_cert},
                              std::pair{&options.tls_key, &server.tls_key}}) {
      int error = 0;
      const std::string why = site::file_read(*path, 1 << 20, text, &error);
      if (!why.empty()) {
        fprintf(stderr, "orvo-exporter: %s\n", why.c_str());
        return 1;
      }
    }
  }
  return http::serve(server);
}

}  // namespace exporter
