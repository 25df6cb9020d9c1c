// One probe: an appliance's readings through read-only queries, in the
// Prometheus text format, and how far it is from a settings file.
#pragma once

#include <netinet/in.h>
#include <string>

#include "client/parse.h"
#include "client/settings.h"

namespace exporter {

struct SettingsFile;

// An error message for a settings file's line that is not a setting the
// comparison knows, or "" when every line is one.
std::string settings_check(const Commands& commands, const char* name);

// The shortest time a probe is given, whatever Prometheus' scrape time-out.
constexpr int kShortestProbeMs = 100;

// A probe's time-out: --timeout (option_ms), or Prometheus' scrape time-out
// (the X-Prometheus-Scrape-Timeout-Seconds header, nullptr when not sent)
// less half a second when that is shorter, never below kShortestProbeMs
// (the answer needs the rest). With how it came about, for the transcript.
int probe_timeout_ms(int option_ms, const std::string* scrape_timeout, std::string* why);

// The readings' metrics from the replies to a probe's queries (each the text
// before its CR, nullptr for none): VERSION's, DSPSTATUS', then those of
// kSettingsQueries, in that order. Returns which settings were read
// (settings_read's mask), and puts them in now.
constexpr int kProbeReplies = 2 + kSettingsQueryCount;
unsigned readings_metrics(char* const* replies, ApplianceSettings* now, std::string* out);

enum ProbeResult {
  kProbeUp,         // the appliance answered (VERSION at least)
  kProbeDown,       // it did not, within the time
  kProbeBroadcast,  // the address is a broadcast address: nothing sent, no metrics
};

// Queries the appliance at address within timeout_ms in all and appends its
// metrics to out: VERSION first, then the queries that the daemon answers
// from its own state, then the DSP reads, which stop at the first that fails
// (a failing DSP costs the daemon a second for each). With settings (loaded,
// usable or not), also the file's metrics and, when it is usable and every
// setting was read, which of its settings the appliance does not have. With
// a transcript, appends to it each query as sent: how often, its reply and
// how long it took.
ProbeResult probe_run(const sockaddr_in& address, const SettingsFile* settings, int timeout_ms,
                      std::string* out, std::string* transcript = nullptr);

}  // namespace exporter
