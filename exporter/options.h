// orvo-exporter's command line, and the IPv4 networks it names.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <vector>

namespace exporter {

constexpr int kDefaultPort = 9494;

// Addresses first to last, in host byte order.
struct Network {
  uint32_t first;
  uint32_t last;
};

// "A.B.C.D" (a network of one) or "A.B.C.D/BITS" with BITS from
// smallest_prefix to 32; false when the text is neither.
bool network_parse(const std::string& text, int smallest_prefix, Network* network);
// Whether one of the networks holds all of range.
bool networks_hold(const std::vector<Network>& networks, const Network& range);

struct Options {
  sockaddr_in listen;
  std::vector<Network> targets;  // empty: no probe and no discovery at all
  std::string settings_dir;      // empty: no settings comparison
  int timeout_ms = 5000;
  int max_probes = 64;
};

// The options of the command line. Returns -1 when the program is to go on,
// else the exit status (after --help or --version, or after printing why the
// command line is unusable).
int options_parse(int argc, char** argv, Options* options);

}  // namespace exporter
