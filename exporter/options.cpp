#include "exporter/options.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <netdb.h>

#include "client/fleet.h"

namespace exporter {

namespace {

constexpr const char kUsage[] =
    "usage: orvo-exporter [--listen ADDRESS:PORT] [--targets NET[,NET...]]...\n"
    "                     [--settings-dir DIR] [--timeout SECONDS] [--max-probes N]\n"
    "serves the readings of the appliances in the networks NET (A.B.C.D/BITS) to\n"
    "Prometheus: /probe?target=HOST[&settings=NAME], /discover?range=NET, /metrics\n"
    "(see orvo-exporter(1)); listens on 0.0.0.0:9494 unless told otherwise\n";

// "ADDRESS:PORT" (ADDRESS an IPv4 address or a name; empty for every address).
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

bool count_parse(const char* text, int* count) {
  long value;
  if (!number_parse(text, 1, 4096, &value)) return false;
  *count = static_cast<int>(value);
  return true;
}

}  // namespace

bool networks_hold(const std::vector<AddressRange>& networks, const AddressRange& range) {
  for (const AddressRange& network : networks) {
    if (network.first <= range.first && range.last <= network.last) return true;
  }
  return false;
}

int options_parse(int argc, char** argv, Options* options) {
  enum { kListen = 1, kTargets, kSettingsDir, kTimeout, kMaxProbes, kHelp, kVersion };
  static const option kOptions[] = {
      {"listen", required_argument, nullptr, kListen},
      {"targets", required_argument, nullptr, kTargets},
      {"settings-dir", required_argument, nullptr, kSettingsDir},
      {"timeout", required_argument, nullptr, kTimeout},
      {"max-probes", required_argument, nullptr, kMaxProbes},
      {"help", no_argument, nullptr, kHelp},
      {"version", no_argument, nullptr, kVersion},
      {nullptr, 0, nullptr, 0},
  };
  listen_parse(":9494", &options->listen);
  bool seen[kVersion + 1] = {};
  opterr = 0;
  for (int option; (option = getopt_long(argc, argv, "", kOptions, nullptr)) != -1;) {
    if (option <= 0 || option > kVersion) {
      fprintf(stderr, "orvo-exporter: unknown option or missing value: '%s'\n%s", argv[optind - 1],
              kUsage);
      return 2;
    }
    if (seen[option] && option != kTargets) {
      fprintf(stderr, "orvo-exporter: '%s' given twice\n", argv[optind - 1]);
      return 2;
    }
    seen[option] = true;
    switch (option) {
      case kListen:
        if (!listen_parse(optarg, &options->listen)) {
          fprintf(stderr, "orvo-exporter: not an ADDRESS:PORT to listen on: '%s'\n", optarg);
          return 2;
        }
        break;
      case kTargets:
        for (const char* p = optarg;;) {
          const char* comma = strchr(p, ',');
          const std::string text = comma != nullptr ? std::string(p, comma) : std::string(p);
          AddressRange network;
          if (!range_parse(text.c_str(), 0, &network)) {
            fprintf(stderr, "orvo-exporter: not a network (A.B.C.D/BITS): '%s'\n", text.c_str());
            return 2;
          }
          options->targets.push_back(network);
          if (comma == nullptr) break;
          p = comma + 1;
        }
        break;
      case kSettingsDir:
        options->settings_dir = optarg;
        if (options->settings_dir.empty()) {
          fputs("orvo-exporter: --settings-dir needs a folder\n", stderr);
          return 2;
        }
        break;
      case kTimeout:
        options->timeout_ms = seconds_parse(optarg);
        if (options->timeout_ms < 100 || options->timeout_ms > 600000) {
          fprintf(stderr, "orvo-exporter: not a time from 0.1 to 600 seconds: '%s'\n", optarg);
          return 2;
        }
        break;
      case kMaxProbes:
        if (!count_parse(optarg, &options->max_probes)) {
          fprintf(stderr, "orvo-exporter: not a count from 1 to 4096: '%s'\n", optarg);
          return 2;
        }
        break;
      case kHelp:
        fputs(kUsage, stdout);
        return 0;
      case kVersion:
        printf("orvo-exporter %s\n", ORVO_VERSION);
        return 0;
    }
  }
  if (optind < argc) {
    fprintf(stderr, "orvo-exporter: unexpected argument '%s'\n%s", argv[optind], kUsage);
    return 2;
  }
  return -1;
}

}  // namespace exporter
