#include "panel/options.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <getopt.h>

#include "http/http.h"

namespace panel {

namespace {

constexpr const char kUsage[] =
    "usage: orvo-panel [--listen ADDRESS:PORT] [--targets NET[,NET...]]... [--state-dir DIR]\n"
    "                  [--timeout SECONDS] [--pages DIR] [--name HOST]...\n"
    "                  [--tls-cert FILE --tls-key FILE --password-file FILE]\n"
    "the commissioning panel in the browser for the appliances in the networks NET\n"
    "(A.B.C.D or A.B.C.D/BITS); listens on 127.0.0.1:9495 and prints the address to\n"
    "open; anywhere else only with HTTPS and a password file (see orvo-panel(1))\n";

bool name_valid(const std::string& name) {
  if (name.empty() || name.size() > 253) return false;
  for (const char c : name) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
          c == '.')) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool loopback(const sockaddr_in& address) {
  return (ntohl(address.sin_addr.s_addr) >> 24) == 127;
}

int options_parse(int argc, char** argv, Options* options) {
  enum {
    kListen = 1,
    kTargets,
    kStateDir,
    kTimeout,
    kPages,
    kTlsCert,
    kTlsKey,
    kPasswordFile,
    kName,
    kHelp,
    kVersion
  };
  static const option kOptions[] = {
      {"listen", required_argument, nullptr, kListen},
      {"targets", required_argument, nullptr, kTargets},
      {"state-dir", required_argument, nullptr, kStateDir},
      {"timeout", required_argument, nullptr, kTimeout},
      {"pages", required_argument, nullptr, kPages},
      {"tls-cert", required_argument, nullptr, kTlsCert},
      {"tls-key", required_argument, nullptr, kTlsKey},
      {"password-file", required_argument, nullptr, kPasswordFile},
      {"name", required_argument, nullptr, kName},
      {"help", no_argument, nullptr, kHelp},
      {"version", no_argument, nullptr, kVersion},
      {nullptr, 0, nullptr, 0},
  };
  http::listen_parse("127.0.0.1:9495", &options->listen);
  bool seen[kVersion + 1] = {};
  opterr = 0;
  optind = 1;
  for (int option; (option = getopt_long(argc, argv, "", kOptions, nullptr)) != -1;) {
    if (option <= 0 || option > kVersion) {
      fprintf(stderr, "orvo-panel: unknown option or missing value: '%s'\n%s", argv[optind - 1],
              kUsage);
      return 2;
    }
    if (seen[option] && option != kTargets && option != kName) {
      fprintf(stderr, "orvo-panel: '%s' given twice\n", argv[optind - 1]);
      return 2;
    }
    seen[option] = true;
    std::string* file = nullptr;
    switch (option) {
      case kListen:
        if (!http::listen_parse(optarg, &options->listen)) {
          fprintf(stderr, "orvo-panel: not an ADDRESS:PORT to listen on: '%s'\n", optarg);
          return 2;
        }
        break;
      case kTargets: {
        std::string bad;
        if (!http::networks_parse(optarg, &options->targets, &bad)) {
          fprintf(stderr, "orvo-panel: not a network (A.B.C.D/BITS): '%s'\n", bad.c_str());
          return 2;
        }
        break;
      }
      case kStateDir:
        file = &options->state_dir;
        break;
      case kTimeout:
        options->timeout_ms = seconds_parse(optarg);
        if (options->timeout_ms < 100 || options->timeout_ms > 60000) {
          fprintf(stderr, "orvo-panel: not a time from 0.1 to 60 seconds: '%s'\n", optarg);
          return 2;
        }
        break;
      case kPages:
        file = &options->pages;
        break;
      case kTlsCert:
        file = &options->tls_cert;
        break;
      case kTlsKey:
        file = &options->tls_key;
        break;
      case kPasswordFile:
        file = &options->password_file;
        break;
      case kName:
        if (!name_valid(optarg)) {
          fprintf(stderr, "orvo-panel: not a host name: '%s'\n", optarg);
          return 2;
        }
        options->names.emplace_back(optarg);
        break;
      case kHelp:
        fputs(kUsage, stdout);
        return 0;
      case kVersion:
        printf("orvo-panel %s\n", ORVO_VERSION);
        return 0;
    }
    if (file != nullptr) {
      if (*optarg == '\0') {
        fprintf(stderr, "orvo-panel: '%s' needs a file or folder\n", argv[optind - 1]);
        return 2;
      }
      *file = optarg;
    }
  }
  if (optind < argc) {
    fprintf(stderr, "orvo-panel: unexpected argument '%s'\n%s", argv[optind], kUsage);
    return 2;
  }
  if (options->tls_cert.empty() != options->tls_key.empty()) {
    fputs("orvo-panel: HTTPS needs both --tls-cert and --tls-key\n", stderr);
    return 2;
  }
  if (!loopback(options->listen)) {
    std::string missing;
    for (const auto& [given, name] : {std::pair{&options->tls_cert, "--tls-cert"},
                                      {&options->tls_key, "--tls-key"},
                                      {&options->password_file, "--password-file"}}) {
      if (given->empty()) missing += std::string(missing.empty() ? "" : ", ") + name;
    }
    if (!missing.empty()) {
      char address[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, &options->listen.sin_addr, address, sizeof address);
      fprintf(stderr,
              "orvo-panel: refusing to listen on %s, which is not loopback, without HTTPS and a "
              "password file: it would let anyone on that network change the appliances' "
              "settings (missing: %s)\n",
              address, missing.c_str());
      return 2;
    }
  }
  return -1;
}

}  // namespace panel
