// The exporter's HTTP side: libmicrohttpd, a thread for each connection (so
// that probes run side by side), bounded in connections, memory and time.
#pragma once

#include "exporter/options.h"

namespace exporter {

// Serves until SIGINT or SIGTERM: 0 then, 1 when the server cannot start.
int serve(const Options& options);

}  // namespace exporter
