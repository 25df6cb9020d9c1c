#include "exporter/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

#include "client/fleet.h"
#include "http/http.h"

namespace exporter {

namespace {

constexpr const char kUsage[] =
    "usage: orvo-exporter [--listen ADDRESS:PORT] [--targets NET[,NET...]]...\n"
    "                     [--settings-dir DIR] [--state-dir DIR] [--forget-after DURATION]\n"
    "                     [--timeout SECONDS] [--max-probes N]\n"
    "                     [--tls-cert FILE --tls-key FILE] [--basic-auth-file FILE]\n"
    "serves the readings of the appliances in the networks NET (A.B.C.D/BITS) to\n"
    "Prometheus: /probe?target=HOST[&settings=NAME], /discover?range=NET, /metrics\n"
    "(see orvo-exporter(1)); listens on 0.0.0.0:9494 unless told otherwise\n";

bool count_parse(const char* text, int* count) {
  long value;
  if (!number_parse(text, 1, 4096, &value)) return false;
  *count = static_cast<int>(value);
  return true;
}

}  // namespace

long long duration_parse(const char* text) {
  constexpr long long kLongest = 3650LL * 86400;
  const char* end = text;
  while (*end >= '0' && *end <= '9') ++end;
  const char* units = "smhd";
  const long long unit_seconds[] = {1, 60, 3600, 86400};
  const char* unit = *end != '\0' && end[1] == '\0' ? strchr(units, *end) : nullptr;
  long count = 0;
  if (unit == nullptr || !number_parse(std::string(text, end).c_str(), 1, kLongest, &count)) {
    return -1;
  }
  const long long seconds = count * unit_seconds[unit - units];
  return seconds <= kLongest ? seconds : -1;
}

bool networks_hold(const std::vector<AddressRange>& networks, const AddressRange& range) {
  for (const AddressRange& network : networks) {
    if (network.first <= range.first && range.last <= network.last) return true;
  }
  return false;
}

int options_parse(int argc, char** argv, Options* options) {
  enum {
    kListen = 1,
    kTargets,
    kSettingsDir,
    kStateDir,
    kForgetAfter,
    kTlsCert,
    kTlsKey,
    kBasicAuthFile,
    kTimeout,
    kMaxProbes,
    kHelp,
    kVersion
  };
  static const option kOptions[] = {
      {"listen", required_argument, nullptr, kListen},
      {"targets", required_argument, nullptr, kTargets},
      {"settings-dir", required_argument, nullptr, kSettingsDir},
      {"state-dir", required_argument, nullptr, kStateDir},
      {"forget-after", required_argument, nullptr, kForgetAfter},
      {"tls-cert", required_argument, nullptr, kTlsCert},
      {"tls-key", required_argument, nullptr, kTlsKey},
      {"basic-auth-file", required_argument, nullptr, kBasicAuthFile},
      {"timeout", required_argument, nullptr, kTimeout},
      {"max-probes", required_argument, nullptr, kMaxProbes},
      {"help", no_argument, nullptr, kHelp},
      {"version", no_argument, nullptr, kVersion},
      {nullptr, 0, nullptr, 0},
  };
  http::listen_parse(":9494", &options->listen);
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
        if (!http::listen_parse(optarg, &options->listen)) {
          fprintf(stderr, "orvo-exporter: not an ADDRESS:PORT to listen on: '%s'\n", optarg);
          return 2;
        }
        break;
      case kTargets: {
        std::string bad;
        if (!http::networks_parse(optarg, &options->targets, &bad)) {
          fprintf(stderr, "orvo-exporter: not a network (A.B.C.D/BITS): '%s'\n", bad.c_str());
          return 2;
        }
        break;
      }
      case kSettingsDir:
      case kStateDir:
      case kTlsCert:
      case kTlsKey:
      case kBasicAuthFile: {
        std::string* path = option == kSettingsDir ? &options->settings_dir
                            : option == kStateDir  ? &options->state_dir
                            : option == kTlsCert   ? &options->tls_cert
                            : option == kTlsKey    ? &options->tls_key
                                                   : &options->basic_auth_file;
        *path = optarg;
        if (path->empty()) {
          fprintf(stderr, "orvo-exporter: --%s needs a path\n", kOptions[option - 1].name);
          return 2;
        }
        break;
      }
      case kForgetAfter:
        options->forget_after_s = duration_parse(optarg);
        if (options->forget_after_s < 0) {
          fprintf(stderr,
                  "orvo-exporter: not a duration (such as 90s, 30m, 36h or 7d, at most 3650d): "
                  "'%s'\n",
                  optarg);
          return 2;
        }
        break;
      case kTimeout:
        options->timeout_ms = seconds_parse(optarg);
        if (options->timeout_ms < 100 || options->timeout_ms > kLongestTimeoutMs) {
          fprintf(stderr,
                  "orvo-exporter: not a time from 0.1 to 25 seconds: '%s' (the HTTP server "
                  "closes a connection that waits 30 seconds for its answer)\n",
                  optarg);
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
  if (options->tls_cert.empty() != options->tls_key.empty()) {
    fputs("orvo-exporter: --tls-cert and --tls-key go together\n", stderr);
    return 2;
  }
  return -1;
}

}  // namespace exporter
