// orvo-exporter: a Prometheus exporter for many appliances. It probes one
// appliance per request with read-only queries (/probe), finds appliances
// for Prometheus' HTTP service discovery (/discover), and compares an
// appliance with the settings file of its room. It runs on the monitoring
// host, never on the appliance.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "exporter/handlers.h"
#include "exporter/options.h"

int main(int argc, char** argv) {
  exporter::Options options;
  const int status = exporter::options_parse(argc, argv, &options);
  if (status >= 0) return status;
  for (const std::string* folder : {&options.settings_dir, &options.state_dir}) {
    if (folder->empty()) continue;
    const int fd = open(folder->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      fprintf(stderr, "orvo-exporter: cannot open the %s folder %s: %s\n",
              folder == &options.state_dir ? "state" : "settings", folder->c_str(),
              strerror(errno));
      return 1;
    }
    close(fd);
  }
  if (options.targets.empty()) {
    fputs("orvo-exporter: no --targets given: /probe and /discover refuse everything\n", stderr);
  }
  return exporter::serve(options);
}
