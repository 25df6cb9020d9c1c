// One probe: an appliance's readings through read-only queries, in the
// Prometheus text format, and how far it is from a settings file.
#pragma once

#include <netinet/in.h>
#include <string>

#include "client/parse.h"

namespace exporter {

// An error message for a settings file's line that is not a setting the
// comparison knows, or "" when every line is one.
std::string settings_check(const Commands& commands, const char* name);

enum ProbeResult {
  kProbeUp,         // the appliance answered
  kProbeDown,       // it did not, within the time
  kProbeBroadcast,  // the address is a broadcast address: nothing sent, no metrics
};

// Queries the appliance at address (every reply within timeout_ms in all),
// all queries in one exchange, and appends its metrics to out; with settings
// (checked), also how many of the file's settings it does not have.
ProbeResult probe_run(const sockaddr_in& address, const Commands* settings, int timeout_ms,
                      std::string* out);

}  // namespace exporter
