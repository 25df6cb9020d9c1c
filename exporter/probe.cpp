#include "exporter/probe.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/exchange.h"
#include "client/settings.h"
#include "exporter/metrics.h"

namespace exporter {

namespace {

// VERSION and DSPSTATUS, then every setting: read-only queries only.
constexpr int kVersionLine = 0;
constexpr int kStatusLine = 1;
constexpr int kSettingsLine = 2;
constexpr int kLineCount = kSettingsLine + kSettingsQueryCount;

constexpr const char* kVersionQuery = "VERSION";
constexpr const char* kStatusQuery = "DSPSTATUS";
static_assert(orvo::line_reads(kVersionQuery) && orvo::line_reads(kStatusQuery),
              "a probe changes nothing");

struct Lines {
  const char* text[kLineCount];
  Lines() {
    text[kVersionLine] = kVersionQuery;
    text[kStatusLine] = kStatusQuery;
    for (int q = 0; q < kSettingsQueryCount; ++q) text[kSettingsLine + q] = kSettingsQueries[q];
  }
};
const Lines kLines;

// A request's time-out before it is sent again: a fifth of the probe's,
// between 0.1 and 1 s, so that a lost datagram costs little. A request is
// sent at most four times, and never after the probe's time is up.
constexpr int kSends = 4;
int reply_ms(int timeout_ms) {
  const int ms = timeout_ms / 5;
  return ms < 100 ? 100 : ms > 1000 ? 1000 : ms;
}

constexpr const char kComponentNames[3][6] = {"red", "green", "blue"};

void gauge(std::string* out, const char* name, const char* help, long value) {
  single(out, name, "gauge", help, value);
}

// The number of "ACK KEYWORD n".
bool number_read(const char* reply, long* value) {
  const char* p = reply != nullptr ? strchr(reply + 4, ' ') : nullptr;
  return p != nullptr && number_parse(p + 1, LONG_MIN, LONG_MAX, value);
}

void settings_metrics(const ApplianceSettings& settings, unsigned known, std::string* out) {
  const auto has = [known](SettingsQuery query) { return (known & 1u << query) != 0; };
  if (has(kQueryTracking)) {
    gauge(out, "orvo_tracking_enabled", "Whether tracking is on (1) or off (0).",
          settings.tracking);
  }
  if (has(kQueryNoise)) {
    gauge(out, "orvo_noise_suppression_enabled", "Whether noise suppression is on (1) or off (0).",
          settings.noise);
  }
  if (has(kQueryApt)) {
    gauge(out, "orvo_apt_mode", "The APT mode: 0 off, 1 to 3.", settings.apt);
  }
  if (has(kQueryEq0) || has(kQueryEq1) || has(kQueryEq2)) {
    family(out, "orvo_eq_gain_decibels", "gauge",
           "The gain of each equalizer band (0 for every band while the equalizer is off).");
    for (int b = 0; b < orvo::kEqBands; ++b) {
      if (has(static_cast<SettingsQuery>(kQueryEq0 + b))) {
        sample(out, "orvo_eq_gain_decibels", {{"band", std::to_string(b)}}, settings.eq[b]);
      }
    }
  }
  if (has(kQueryMask)) {
    gauge(out, "orvo_null_mask", "The null mask: bit n set when channel n is nulled.",
          settings.mask);
  }
  if ((known & kSettingsLeds) != kSettingsLeds) return;
  family(out, "orvo_led_on", "gauge", "Whether an LED channel's component is switched on.");
  for (int c = 1; c <= kSettingsChannels; ++c) {
    for (int k = 0; k < 3; ++k) {
      sample(out, "orvo_led_on",
             {{"channel", std::to_string(c)}, {"component", kComponentNames[k]}},
             settings.channels[c].on[k] ? 1 : 0);
    }
  }
  family(out, "orvo_led_level_percent", "gauge",
         "The level of an LED channel's component, in the 10 % steps the appliance reports.");
  for (int c = 1; c <= kSettingsChannels; ++c) {
    for (int k = 0; k < 3; ++k) {
      sample(out, "orvo_led_level_percent",
             {{"channel", std::to_string(c)}, {"component", kComponentNames[k]}},
             settings_percent(settings.channels[c].level[k]));
    }
  }
}

}  // namespace

std::string settings_check(const Commands& commands, const char* name) {
  ApplianceSettings scratch{};
  SettingsNamed named = 0;
  for (int i = 0; i < commands.count; ++i) {
    if (!settings_apply(&scratch, commands.lines[i], &named)) {
      char message[512];
      snprintf(message, sizeof message, "%s:%d: not a setting that can be compared: %.200s", name,
               commands.numbers[i], commands.lines[i]);
      return message;
    }
  }
  return "";
}

ProbeResult probe_run(const sockaddr_in& address, const Commands* settings, int timeout_ms,
                      std::string* out) {
  char* replies[kLineCount] = {};
  // Every line in one exchange that ends by the probe's deadline; a refusal
  // (a failing DSP refuses its reads) skips that line only.
  const long long start = clock_ms();
  Peer peer{};
  peer.address = address;
  peer.lines = kLines.text;
  peer.line_count = kLineCount;
  peer.replies = replies;
  peer.past_refusals = true;
  peer.end_ms = start + timeout_ms;
  exchange_run(&peer, 1, Timing{reply_ms(timeout_ms), kSends - 1, 0});
  const bool answered = peer.outcome == kPeerDone;
  // A refused line has no reply.
  int refused = 0;
  for (int line = 0; line < peer.line; ++line) refused += replies[line] == nullptr;
  // The system refuses to connect to a broadcast address (nothing is sent).
  if (peer.outcome == kPeerError && peer.error == EACCES && peer.line == 0) return kProbeBroadcast;
  if (peer.outcome == kPeerError && peer.error != ECONNREFUSED && peer.error != EHOSTUNREACH &&
      peer.error != ENETUNREACH && peer.error != EHOSTDOWN) {
    char host[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
    fprintf(stderr, "orvo-exporter: probe of %s failed: %s\n", host, strerror(peer.error));
  }
  const double seconds = static_cast<double>(clock_ms() - start) / 1000;

  gauge(out, "orvo_up", "Whether the appliance answered every query of the probe.", answered);
  family(out, "orvo_probe_duration_seconds", "gauge", "How long the probe took.");
  sample(out, "orvo_probe_duration_seconds", {}, seconds, 3);
  if (answered) {
    // "ACK VERSION " and the version text.
    const char* reply = replies[kVersionLine];
    const char* version = reply != nullptr && strlen(reply) > 12 ? reply + 12 : "-";
    family(out, "orvo_version_info", "gauge",
           "The appliance's software version (\"-\" when it has none).");
    sample(out, "orvo_version_info", {{"version", version}}, 1);
    long status;
    if (number_read(replies[kStatusLine], &status)) {
      gauge(out, "orvo_dsp_status", "The DSP status word.", status);
    }
    ApplianceSettings now{};
    const unsigned known = settings_read(replies + kSettingsLine, &now);
    settings_metrics(now, known, out);
    gauge(out, "orvo_probe_refused_queries",
          "How many queries of the probe the appliance refused (a failing DSP refuses its reads).",
          refused);
    if (settings != nullptr && known == kSettingsAll) {
      // The file as the appliance would carry it out now: what it would
      // change of the settings that the file names.
      ApplianceSettings expected = now;
      SettingsNamed named = 0;
      for (int i = 0; i < settings->count; ++i) {
        settings_apply(&expected, settings->lines[i], &named);
      }
      gauge(out, "orvo_settings_differences",
            "How many of the settings file's settings the appliance does not have.",
            settings_differences(expected, now, named));
    }
  }
  for (char* reply : replies) free(reply);
  return answered ? kProbeUp : kProbeDown;
}

}  // namespace exporter
