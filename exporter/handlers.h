// The exporter's answers: /probe, /discover and its own /metrics, as
// handlers of the HTTP server (http/http.h), with what they count.
#pragma once

#include <atomic>
#include <string>

#include "exporter/access.h"
#include "exporter/options.h"
#include "exporter/roster.h"
#include "http/http.h"

namespace exporter {

// The answers other than 200, counted on /metrics.
inline constexpr unsigned kRefusedCodes[] = {400, 401, 403, 404, 405, 503};
inline constexpr int kRefusedKinds = sizeof kRefusedCodes / sizeof kRefusedCodes[0];

struct Exporter {
  const Options* options;
  std::atomic<int> running{0};  // probes and discoveries
  std::atomic<unsigned long long> probes{0};
  std::atomic<unsigned long long> failures{0};
  std::atomic<unsigned long long> discoveries{0};
  std::atomic<unsigned long long> refused[kRefusedKinds] = {};
  // What discovery lists: the appliances seen, and the rooms of site.conf.
  Roster roster{"", kDefaultForgetAfterSeconds};
  SiteRooms rooms;
  // Who may ask (with --basic-auth-file), and whether anyone must say who.
  Users users;
  bool authenticated = false;
};

// Sets up what the options name (the roster of the state folder, the rooms
// of site.conf, the users' file): "" or why the exporter cannot start.
std::string prepare(Exporter* exporter);
// SIGHUP: reads the site file, the roster and the users' file again and says
// what it found.
void reload(void* exporter);

http::Reply probe(Exporter* exporter, const http::Request& request);
http::Reply discover(Exporter* exporter, const http::Request& request);
http::Reply own_metrics(const Exporter& exporter);

// The HTTP server's set-up for the exporter: its routes and bounds.
http::ServerOptions server_options(Exporter* exporter);

// Serves until SIGINT or SIGTERM: 0 then, 1 when the server cannot start.
int serve(const Options& options);

}  // namespace exporter
