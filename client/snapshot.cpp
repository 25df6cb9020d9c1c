// -s: one appliance's settings read and printed as commands, in the form
// of client/snapshot_form.h.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/exchange.h"
#include "client/front.h"
#include "client/settings.h"
#include "client/snapshot_form.h"

namespace {

// Writes to standard output.
struct Stdout {
  template <typename... Values>
  [[gnu::always_inline]] void print(const char* format, Values... values) {
    printf(format, values...);
  }
  [[gnu::always_inline]] void put(const char* text) { puts(text); }
};

// Prints the settings that the replies to kSettingsQueries tell, as commands.
int settings_print(const char* host, char* const* replies) {
  ApplianceSettings settings;
  const unsigned known = settings_read(replies, &settings);
  for (int q = 0; q < kSettingsQueryCount; ++q) {
    if ((known & 1u << q) == 0) {
      fprintf(stderr,
              replies[q] != nullptr ? "%s: unexpected reply to %s: %s\n" : "%s: out of memory\n",
              host, kSettingsQueries[q], replies[q]);
      return kStatusFailed;
    }
  }
  Stdout out;
  snapshot_form(out, host, settings);
  return output_flushed("settings") ? kStatusOk : kStatusFailed;
}

}  // namespace

int snapshot_print(const char* host, const Timing& timing) {
  char* replies[kSettingsQueryCount] = {};
  Peer peer{};
  if (!host_resolved(host, &peer.address)) return kStatusUsage;
  const char* lines[kSettingsQueryCount];
  for (int q = 0; q < kSettingsQueryCount; ++q) lines[q] = kSettingsQueries[q];
  peer.lines = lines;
  peer.line_count = kSettingsQueryCount;
  peer.replies = replies;
  exchange_run(&peer, 1, timing);
  int status = kStatusFailed;
  const char* query = kSettingsQueries[peer.line < kSettingsQueryCount ? peer.line : 0];
  if (peer.outcome == kPeerDone) {
    status = settings_print(host, replies);
  } else if (peer.outcome == kPeerRefused) {
    fprintf(stderr, "%s refused %s\n", host, query);
  } else if (peer.outcome == kPeerSilent) {
    fprintf(stderr, "%s: no answer to %s\n", host, query);
  } else {
    fprintf(stderr, "%s: %s failed (%s)\n", host, query, strerror(peer.error));
  }
  for (char* reply : replies) free(reply);
  return status;
}
