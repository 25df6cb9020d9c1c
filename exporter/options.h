// orvo-exporter's command line, and the IPv4 networks it names.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <vector>

#include "client/fleet.h"
#include "protocol/protocol.h"

namespace exporter {

constexpr int kDefaultPort = 9494;
// The HTTP server closes a connection idle for 30 s: a probe or discovery
// must answer well before.
constexpr int kLongestTimeoutMs = 25000;
constexpr long long kDefaultForgetAfterSeconds = 7 * 86400;

// Whether one of the networks holds all of range.
bool networks_hold(const std::vector<AddressRange>& networks, const AddressRange& range);

struct Options {
  sockaddr_in listen;
  std::vector<AddressRange> targets;  // empty: no probe and no discovery at all
  std::string settings_dir;           // empty: no settings comparison
  std::string state_dir;              // empty: the roster in memory alone
  long long forget_after_s = kDefaultForgetAfterSeconds;
  std::string tls_cert, tls_key;  // files of PEM text; empty: plain HTTP
  std::string basic_auth_file;    // empty: no authentication
  int timeout_ms = 5000;
  int max_probes = 64;
  uint16_t appliance_port = orvo::kControlPort;  // not an option: tests set it
};

// A duration as "90s", "30m", "36h" or "7d" in seconds, or -1 when the text
// is not one or lies outside 1 second to 3650 days.
long long duration_parse(const char* text);

// The options of the command line. Returns -1 when the program is to go on,
// else the exit status (after --help or --version, or after printing why the
// command line is unusable).
int options_parse(int argc, char** argv, Options* options);

}  // namespace exporter
