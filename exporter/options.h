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

// Whether one of the networks holds all of range.
bool networks_hold(const std::vector<AddressRange>& networks, const AddressRange& range);

struct Options {
  sockaddr_in listen;
  std::vector<AddressRange> targets;  // empty: no probe and no discovery at all
  std::string settings_dir;           // empty: no settings comparison
  int timeout_ms = 5000;
  int max_probes = 64;
  uint16_t appliance_port = orvo::kControlPort;  // not an option: tests set it
};

// The options of the command line. Returns -1 when the program is to go on,
// else the exit status (after --help or --version, or after printing why the
// command line is unusable).
int options_parse(int argc, char** argv, Options* options);

}  // namespace exporter
