#include "exporter/handlers.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <netdb.h>

#include "client/fleet.h"
#include "exporter/metrics.h"
#include "exporter/probe.h"
#include "exporter/settings_folder.h"

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

// The landing page: plain HTML without script, the paths and a probe form.
constexpr const char kLandingPage[] = R"(<!DOCTYPE html>
<html lang="en">
<head><meta charset="utf-8"><title>orvo-exporter</title></head>
<body>
<h1>orvo-exporter</h1>
<p>A Prometheus exporter for the appliances of a site (see orvo-exporter(1)).</p>
<ul>
<li><code>/probe?target=HOST[&amp;settings=NAME][&amp;debug=true]</code>: one appliance's
readings, compared with the settings file NAME; with debug=true, what was sent and
answered, as text</li>
<li><code>/discover?range=NET</code>: the appliances of a network, for Prometheus' HTTP
service discovery</li>
<li><a href="/metrics">/metrics</a>: the exporter's own metrics</li>
<li><a href="/-/healthy">/-/healthy</a>: whether the exporter runs</li>
</ul>
<form action="/probe" method="get">
<p><label>Target <input name="target" required></label>
<label>Settings file <input name="settings"></label>
<label><input type="checkbox" name="debug" value="true" checked> debug</label>
<button type="submit">Probe</button></p>
</form>
</body>
</html>
)";

void counter(std::string* out, const char* name, const char* help, unsigned long long value) {
  single(out, name, "counter", help, static_cast<long long>(value));
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
  std::string problem =
      http::parameters_read(request, {"target", "settings", "debug"}, &parameters);
  if (!problem.empty()) return refusal(400, problem);
  if (!parameters.given[0]) return refusal(400, "no target given (/probe?target=HOST)");
  const std::string& debug_text = parameters.value[2];
  if (parameters.given[2] && debug_text != "true" && debug_text != "false") {
    return refusal(400, "debug is true or false, not '" + http::quotable(debug_text) + "'");
  }
  const bool debug = debug_text == "true";
  in_addr address;
  if (!target_resolve(parameters.value[0], &address, &problem)) return refusal(400, problem);
  const AddressRange one{ntohl(address.s_addr), ntohl(address.s_addr)};
  if (!networks_hold(options.targets, one)) {
    return refusal(403, "target " + address_text(one.first) + " is outside the --targets");
  }
  // A settings file that cannot be used costs the comparison only; a name
  // that cannot name one is the request's fault. (An empty one, as an empty
  // field of the landing page's form sends it, is none.)
  const bool compared = !parameters.value[1].empty();
  if (compared) {
    problem = settings_name_check(options.settings_dir, parameters.value[1]);
    if (!problem.empty()) return refusal(400, problem);
  }
  const Slot slot(exporter);
  if (!slot.taken()) return busy(*exporter);
  SettingsFile settings;
  if (compared) settings_load(options.settings_dir, parameters.value[1], &settings);
  std::string why;
  const int timeout_ms = probe_timeout_ms(
      options.timeout_ms, http::header(request, "X-Prometheus-Scrape-Timeout-Seconds"), &why);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(options.appliance_port);
  peer.sin_addr = address;
  std::string metrics, transcript;
  const ProbeResult result = probe_run(peer, compared ? &settings : nullptr, timeout_ms, &metrics,
                                       debug ? &transcript : nullptr);
  if (result == kProbeBroadcast) {
    return refusal(400, "target " + address_text(one.first) +
                            " is a broadcast address (/discover finds appliances with it)");
  }
  ++exporter->probes;
  if (result == kProbeDown) ++exporter->failures;
  if (!debug) return Reply{200, metrics, kMetricsType};
  char head[128];
  snprintf(head, sizeof head, "probe of %s port %u, time-out %.3f s (",
           address_text(one.first).c_str(), options.appliance_port, timeout_ms / 1000.0);
  return Reply{200, http::utf8_valid(head + why + ")\n" + transcript + "\nmetrics:\n" + metrics),
               http::kTextType};
}

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
  // Answers are collected for half the time-out: the rest is for sending to
  // a large range, and Prometheus' request should end well within its own.
  const Timing timing{options.timeout_ms, 0, options.timeout_ms / 2};
  FindTarget target{range, 0};
  Found found;
  if (appliances_find(&target, 1, timing, options.appliance_port, &found) != 0) {
    return refusal(400, "range '" + text + "' cannot be searched");
  }
  if (target.send_error != 0) {
    fprintf(stderr, "sendto %s failed (%s)\n", text.c_str(), strerror(target.send_error));
  }
  // Only what may be probed: a broadcast reaches further than --targets may.
  Reply reply{200, "[", http::kJsonType};
  bool first = true;
  for (int i = 0; i < found.count; ++i) {
    const Appliance& appliance = found.list[i];
    if (!networks_hold(options.targets, AddressRange{appliance.address, appliance.address})) {
      continue;
    }
    reply.body += first ? "\n  " : ",\n  ";
    first = false;
    reply.body += "{\"targets\": [\"" + address_text(appliance.address) +
                  "\"], \"labels\": {\"__meta_orvo_version\": ";
    json_string(&reply.body, appliance.version != nullptr ? appliance.version : "");
    reply.body += "}}";
  }
  reply.body += first ? "]\n" : "\n]\n";
  appliances_free(&found);
  return reply;
}

Reply own_metrics(const Exporter& exporter) {
  Reply reply{200, "", kMetricsType};
  std::string* out = &reply.body;
  family(out, "orvo_exporter_build_info", "gauge",
         "The exporter's version and the revision it was built from.");
  sample(out, "orvo_exporter_build_info", {{"version", ORVO_VERSION}, {"revision", ORVO_REVISION}},
         1);
  process_metrics(out);
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
  return reply;
}

Reply landing_page() {
  Reply reply{200, kLandingPage, "text/html; charset=utf-8"};
  reply.headers.emplace_back("Content-Security-Policy", "default-src 'none'; form-action 'self'");
  reply.headers.emplace_back("X-Content-Type-Options", "nosniff");
  return reply;
}

http::ServerOptions server_options(Exporter* exporter) {
  const Options& options = *exporter->options;
  http::ServerOptions server;
  server.program = "orvo-exporter";
  server.listen = options.listen;
  server.connections = static_cast<unsigned>(options.max_probes) + kConnectionsBeyondProbes;
  server.routes = {
      {"/probe",
       [](void* context, const http::Request& request) {
         return probe(static_cast<Exporter*>(context), request);
       }},
      {"/discover",
       [](void* context, const http::Request& request) {
         return discover(static_cast<Exporter*>(context), request);
       }},
      {"/metrics",
       [](void* context, const http::Request&) {
         return own_metrics(*static_cast<Exporter*>(context));
       }},
      {"/", [](void*, const http::Request&) { return landing_page(); }},
      {"/-/healthy",
       [](void*, const http::Request&) {
         return Reply{200, "OK\n", http::kTextType};
       }},
  };
  server.not_found = "not found: the exporter serves /, /probe, /discover, /metrics and /-/healthy";
  server.context = exporter;
  server.answered = answered;
  return server;
}

int serve(const Options& options) {
  Exporter exporter;
  exporter.options = &options;
  return http::serve(server_options(&exporter));
}

}  // namespace exporter
