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
#include "exporter/settings_folder.h"
#include "http/http.h"

namespace exporter {

namespace {

// Where each query's reply goes: VERSION, DSPSTATUS, then the settings
// queries (kSettingsQueries' order, which settings_read takes).
constexpr int kVersionSlot = 0;
constexpr int kStatusSlot = 1;
constexpr int kSettingsSlot = 2;
constexpr int kSlotCount = kProbeReplies;
static_assert(kSettingsSlot + kSettingsQueryCount == kSlotCount);

constexpr const char* kVersionQuery = "VERSION";
constexpr const char* kStatusQuery = "DSPSTATUS";
static_assert(orvo::line_reads(kVersionQuery) && orvo::line_reads(kStatusQuery),
              "a probe changes nothing");
static_assert(!orvo::line_reads_dsp(kVersionQuery) && orvo::line_reads_dsp(kStatusQuery),
              "VERSION tells whether the daemon answers, DSPSTATUS whether its DSP does");

// The probe's two exchanges: VERSION and what the daemon answers without
// its DSP, then the DSP reads, DSPSTATUS first.
struct Phase {
  const char* text[kSlotCount];
  int slot[kSlotCount];
  int count = 0;
  void add(const char* line, int at) {
    text[count] = line;
    slot[count++] = at;
  }
};
struct Phases {
  Phase daemon, dsp;
  Phases() {
    daemon.add(kVersionQuery, kVersionSlot);
    dsp.add(kStatusQuery, kStatusSlot);
    for (int q = 0; q < kSettingsQueryCount; ++q) {
      const char* query = kSettingsQueries[q];
      (orvo::line_reads_dsp(query) ? dsp : daemon).add(query, kSettingsSlot + q);
    }
  }
};
const Phases kPhases;

// A request's time-out before it is sent again: a fifth of the probe's,
// between 0.1 and 1 s, so that a lost datagram costs little. A DSP read
// waits longer: the daemon may take a second over one, and a request sent
// again meanwhile would queue a second read behind the first. A request is
// sent at most four times, and never after the probe's time is up.
constexpr int kSends = 4;
constexpr int kDspReplyMs = 1500;
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
    family(out, "orvo_channel_nulled", "gauge", "Whether a channel is nulled (1) or not (0).");
    for (int c = orvo::kFirstNullChannel; c <= orvo::kLastNullChannel; ++c) {
      sample(out, "orvo_channel_nulled", {{"channel", std::to_string(c)}}, settings.mask >> c & 1);
    }
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
  family(out, "orvo_led_level_ratio", "gauge",
         "The level of an LED channel's component, 0 to 1 in the tenths the appliance reports.");
  for (int c = 1; c <= kSettingsChannels; ++c) {
    for (int k = 0; k < 3; ++k) {
      const double tenths = settings_percent(settings.channels[c].level[k]) / orvo::kPercentStep;
      sample(out, "orvo_led_level_ratio",
             {{"channel", std::to_string(c)}, {"component", kComponentNames[k]}}, tenths / 10, 1);
    }
  }
}

// The settings file's own metrics, and the comparison when it can be made.
void comparison_metrics(const SettingsFile& file, const ApplianceSettings* now, std::string* out) {
  const bool usable = file.problem.empty();
  gauge(out, "orvo_settings_file_usable",
        "Whether the settings file could be compared with (0: missing, unreadable or unusable; "
        "debug=true says why).",
        usable);
  if (file.read) {
    family(out, "orvo_settings_file_info", "gauge", "The settings file compared with.");
    sample(out, "orvo_settings_file_info", {{"file", file.name}, {"sha256", file.sha256}}, 1);
    gauge(out, "orvo_settings_file_modified_seconds",
          "When the settings file was last changed, in seconds since the epoch.", file.modified);
  }
  if (!usable || now == nullptr) return;
  // The file as the appliance would carry it out now: what it would change
  // of the settings that the file names.
  ApplianceSettings expected = *now;
  SettingsNamed named = 0;
  const Commands& commands = file.commands;
  for (int i = 0; i < commands.count; ++i) settings_apply(&expected, commands.lines[i], &named);
  const SettingsNamed differing = settings_differing(expected, *now, named);
  gauge(out, "orvo_settings_differences",
        "How many of the settings file's settings the appliance does not have.",
        settings_differences(expected, *now, named));
  family(out, "orvo_setting_matches", "gauge",
         "Whether the appliance has a setting that the settings file names (1) or not (0).");
  for (int s = 0; s < kSettingCount; ++s) {
    const SettingsNamed bit = 1ul << s;
    if ((named & bit) == 0) continue;
    sample(out, "orvo_setting_matches", {{"setting", kSettingNames[s]}},
           (differing & bit) == 0 ? 1 : 0);
  }
}

// One exchange of a phase's lines with the appliance.
struct Run {
  Peer peer{};
  LineRecord records[kSlotCount] = {};
  long long start_ms = 0;
};

void phase_run(const Phase& phase, const sockaddr_in& address, bool past_refusals, long long end_ms,
               int wait_ms, char** replies, Run* run) {
  char* got[kSlotCount] = {};
  run->start_ms = clock_ms();
  Peer& peer = run->peer;
  peer.address = address;
  peer.lines = phase.text;
  peer.line_count = phase.count;
  peer.replies = got;
  peer.past_refusals = past_refusals;
  peer.end_ms = end_ms;
  peer.records = run->records;
  exchange_run(&peer, 1, Timing{wait_ms, kSends - 1, 0});
  for (int i = 0; i < phase.count; ++i) replies[phase.slot[i]] = got[i];
}

// The transcript of a phase: each line as sent, how often, the reply (text
// before its CR) or what became of it, and how long it took.
void transcript_add(const Phase& phase, const Run& run, char* const* replies, const char* skipped,
                    std::string* out) {
  const Peer& peer = run.peer;
  long long since = run.start_ms;
  for (int i = 0; i < phase.count; ++i) {
    *out += phase.text[i];
    const bool ended =
        i < peer.line ||
        (i == peer.line && (peer.outcome == kPeerSilent || peer.outcome == kPeerRefused));
    if (!ended) {
      *out += i == peer.line && peer.outcome == kPeerError
                  ? ": send failed (" + std::string(strerror(peer.error)) + ")\n"
                  : std::string(": not sent (") + skipped + ")\n";
      continue;
    }
    const LineRecord& record = run.records[i];
    const char* reply = replies[phase.slot[i]];
    char head[96];
    snprintf(head, sizeof head, ": sent %d time%s, %lld ms: ", record.sends,
             record.sends == 1 ? "" : "s", record.end_ms - since);
    since = record.end_ms;
    *out += head;
    if (reply != nullptr) {
      *out += http::quotable(http::utf8_valid(reply));
    } else if (i < peer.line || peer.outcome == kPeerRefused) {
      *out += "refused (NACK)";
    } else {
      *out += "no reply";
    }
    *out += '\n';
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

unsigned readings_metrics(char* const* replies, ApplianceSettings* now, std::string* out) {
  // "ACK VERSION " and the version text.
  const char* reply = replies[kVersionSlot];
  const char* version = reply != nullptr && strlen(reply) > 12 ? reply + 12 : "-";
  family(out, "orvo_version_info", "gauge",
         "The appliance's software version (\"-\" when it has none).");
  sample(out, "orvo_version_info", {{"version", version}}, 1);
  long status;
  if (number_read(replies[kStatusSlot], &status)) {
    gauge(out, "orvo_dsp_status", "The DSP status word.", status);
  }
  const unsigned known = settings_read(replies + kSettingsSlot, now);
  settings_metrics(*now, known, out);
  return known;
}

int probe_timeout_ms(int option_ms, const std::string* scrape_timeout, std::string* why) {
  char text[160];
  snprintf(text, sizeof text, "--timeout %.3f s", option_ms / 1000.0);
  *why = text;
  if (scrape_timeout == nullptr) return option_ms;
  const int scrape_ms = seconds_parse(scrape_timeout->c_str());
  if (scrape_ms < 0) {
    *why += "; X-Prometheus-Scrape-Timeout-Seconds '" +
            http::quotable(http::utf8_valid(scrape_timeout->substr(0, 32))) +
            "' is not a number of seconds: not taken";
    return option_ms;
  }
  int ms = scrape_ms - 500;
  if (ms < kShortestProbeMs) ms = kShortestProbeMs;
  if (ms >= option_ms) return option_ms;
  snprintf(text, sizeof text, ", shortened to Prometheus' scrape time-out %.3f s less 0.5 s",
           scrape_ms / 1000.0);
  *why += text;
  if (scrape_ms - 500 < kShortestProbeMs) *why += " (but not below 0.1 s)";
  return ms;
}

ProbeResult probe_run(const sockaddr_in& address, const SettingsFile* settings, int timeout_ms,
                      std::string* out, std::string* transcript) {
  char* replies[kSlotCount] = {};
  const long long start = clock_ms();
  const long long end = start + timeout_ms;
  // VERSION and what the daemon answers from its own state, in one exchange
  // that goes on past refusals.
  Run first;
  phase_run(kPhases.daemon, address, true, end, reply_ms(timeout_ms), replies, &first);
  const Peer& peer = first.peer;
  // The system refuses to connect to a broadcast address (nothing is sent).
  if (peer.outcome == kPeerError && peer.error == EACCES && peer.line == 0) return kProbeBroadcast;
  if (peer.outcome == kPeerError && peer.error != ECONNREFUSED && peer.error != EHOSTUNREACH &&
      peer.error != ENETUNREACH && peer.error != EHOSTDOWN) {
    char host[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
    fprintf(stderr, "orvo-exporter: probe of %s failed: %s\n", host, strerror(peer.error));
  }
  // VERSION answered, with its text or refused: the daemon is there.
  const bool answered = peer.line > 0;
  int refused = 0;
  for (int i = 0; i < peer.line; ++i) refused += replies[kPhases.daemon.slot[i]] == nullptr;
  // The DSP reads, once the rest has answered: one after the other, each
  // given the daemon's time for it, up to the first that fails.
  const bool dsp_tried = peer.outcome == kPeerDone;
  Run second;
  if (dsp_tried) {
    phase_run(kPhases.dsp, address, false, end,
              reply_ms(timeout_ms) > kDspReplyMs ? reply_ms(timeout_ms) : kDspReplyMs, replies,
              &second);
    refused += second.peer.outcome == kPeerRefused;
  }
  const bool dsp_up = dsp_tried && second.peer.outcome == kPeerDone;
  const double seconds = static_cast<double>(clock_ms() - start) / 1000;

  gauge(out, "orvo_up", "Whether the appliance answered (its VERSION at least).", answered);
  family(out, "orvo_probe_duration_seconds", "gauge", "How long the probe took.");
  sample(out, "orvo_probe_duration_seconds", {}, seconds, 3);
  family(out, "orvo_probe_timeout_seconds", "gauge",
         "The time the probe had: --timeout, or less to end within Prometheus' scrape time-out.");
  sample(out, "orvo_probe_timeout_seconds", {}, timeout_ms / 1000.0, 3);
  ApplianceSettings now{};
  unsigned known = 0;
  if (answered) {
    if (dsp_tried) {
      gauge(out, "orvo_dsp_up",
            "Whether the appliance's DSP answered every read (0: one was refused or timed out, "
            "and the reads after it were skipped).",
            dsp_up);
    }
    known = readings_metrics(replies, &now, out);
    gauge(out, "orvo_probe_refused_queries",
          "How many queries of the probe the appliance refused (a failing DSP refuses its reads).",
          refused);
  }
  if (settings != nullptr)
    comparison_metrics(*settings, known == kSettingsAll ? &now : nullptr, out);

  if (transcript != nullptr) {
    transcript_add(kPhases.daemon, first, replies, "the appliance did not answer before it",
                   transcript);
    const char* why = "a DSP read before it failed";
    if (!dsp_tried) {
      why = answered ? "the appliance stopped answering" : "the appliance did not answer";
    }
    transcript_add(kPhases.dsp, second, replies, why, transcript);
    if (settings != nullptr) {
      *transcript += "settings file " + http::quotable(http::utf8_valid(settings->name)) + ": " +
                     (settings->problem.empty() ? "usable" : "unusable: " + settings->problem);
      if (settings->problem.empty() && known != kSettingsAll) {
        *transcript += ", not compared: not every setting was read";
      }
      *transcript += '\n';
    }
  }
  for (char* reply : replies) free(reply);
  return answered ? kProbeUp : kProbeDown;
}

}  // namespace exporter
