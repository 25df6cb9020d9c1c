// orvo-panel's command line.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <vector>

#include "client/fleet.h"

namespace panel {

constexpr int kDefaultPort = 9495;

struct Options {
  sockaddr_in listen;
  std::vector<AddressRange> targets;  // empty: the panel talks to no appliance
  std::string state_dir = "/var/lib/orvo-panel";
  int timeout_ms = 2000;
  std::string pages = "/usr/share/orvo-panel/www";
  std::string tls_cert;       // file names
  std::string tls_key;
  std::string password_file;  // lines "user:crypt-hash"
  std::vector<std::string> names;  // further names the Host header may carry
  std::uint16_t appliance_port = 0;  // not an option: tests set it (0: the protocol's)
};

// Whether the address is on the loopback network (127.0.0.0/8).
bool loopback(const sockaddr_in& address);

// The options of the command line. Returns -1 when the program is to go on,
// else the exit status (after --help or --version, or after printing why the
// command line is unusable: 2). Listening off loopback needs --tls-cert,
// --tls-key and --password-file.
int options_parse(int argc, char** argv, Options* options);

}  // namespace panel
