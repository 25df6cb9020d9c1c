// The exporter's answers: /probe, /discover and its own /metrics, as
// handlers of the HTTP server (http/http.h), with what they count.
#pragma once

#include <atomic>
#include <string>

#include "exporter/options.h"
#include "http/http.h"

namespace exporter {

// The answers other than 200, counted on /metrics.
inline constexpr unsigned kRefusedCodes[] = {400, 403, 404, 405, 503};
inline constexpr int kRefusedKinds = sizeof kRefusedCodes / sizeof kRefusedCodes[0];

struct Exporter {
  const Options* options;
  std::atomic<int> running{0};  // probes and discoveries
  std::atomic<unsigned long long> probes{0};
  std::atomic<unsigned long long> failures{0};
  std::atomic<unsigned long long> discoveries{0};
  std::atomic<unsigned long long> refused[kRefusedKinds] = {};
};

http::Reply probe(Exporter* exporter, const http::Request& request);
http::Reply discover(Exporter* exporter, const http::Request& request);
http::Reply own_metrics(const Exporter& exporter);
// The page at /: the paths, and a form that probes a target.
http::Reply landing_page();

// The HTTP server's set-up for the exporter: its routes and bounds.
http::ServerOptions server_options(Exporter* exporter);

// Serves until SIGINT or SIGTERM: 0 then, 1 when the server cannot start.
int serve(const Options& options);

}  // namespace exporter
