// -s: every setting that the protocol lets one read, printed as the commands
// that set it, in an order that keeps each one.
//
// What the queries cannot tell, and what the file does about it:
// - EQ reads 0 for every band while the equalizer is off: all-zero bands are
//   written as "EQ b 0", which leaves the equalizer on and flat (only
//   DEFAULTS switches it off).
// - GRGB reads 0 for a component that is switched off; its level then comes
//   from GTSB in 10 % steps, written as the level that step stands for.
// - ACTNULCOL and NULLMASK repaint the levels of channels 1-15, so they come
//   before the LED lines; SRGB switches all three components on, so the
//   STS lines that switch some off come after it.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/exchange.h"
#include "client/front.h"
#include "client/settings.h"

namespace {

constexpr const char* kComponents = orvo::kComponentLetters;

bool channels_equal(const LedChannel& a, const LedChannel& b) {
  return memcmp(a.level, b.level, sizeof a.level) == 0 && memcmp(a.on, b.on, sizeof a.on) == 0;
}

void channel_print(int number, const LedChannel& channel) {
  printf("SRGB %d %d %d %d\n", number, channel.level[0], channel.level[1], channel.level[2]);
  for (int k = 0; k < 3; ++k) {
    if (!channel.on[k]) printf("STS %d %c=0\n", number, kComponents[k]);
  }
}

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
  const LedChannel* channels = settings.channels;
  bool coarse = false;
  for (int c = 1; c <= kSettingsChannels; ++c) {
    for (int k = 0; k < 3; ++k) coarse = coarse || !channels[c].on[k];
  }
  // The most common channel setting goes to all channels at once (channel
  // 0), then each channel that differs from it.
  int common = 1, most = 0;
  for (int c = 1; c <= kSettingsChannels; ++c) {
    int same = 0;
    for (int d = 1; d <= kSettingsChannels; ++d) same += channels_equal(channels[c], channels[d]);
    if (same > most) {
      most = same;
      common = c;
    }
  }

  printf("# Settings of %s, read by orvo-udpc -s; send them with orvo-udpc -a.\n", host);
  printf("TRACKING %ld\nNOISESUP %ld\nAPT %ld\n", settings.tracking, settings.noise, settings.apt);
  bool flat = true;
  for (const long gain : settings.eq) flat = flat && gain == 0;
  if (flat) {
    puts("# The equalizer reads 0 on every band: it is off, or on and flat. These\n"
         "# lines leave it on and flat; only DEFAULTS switches it off.");
  }
  for (int b = 0; b < orvo::kEqBands; ++b) printf("EQ %d %ld\n", b, settings.eq[b]);
  puts("# Null colours and mask before the LED levels, which they repaint.");
  const long* colours = settings.colours;
  using orvo::colour_of_argument;
  printf("ACTNULCOL %ld %ld %ld %ld %ld %ld\nNULLMASK %ld\n", colours[colour_of_argument(0)],
         colours[colour_of_argument(1)], colours[colour_of_argument(2)],
         colours[colour_of_argument(3)], colours[colour_of_argument(4)],
         colours[colour_of_argument(5)], settings.mask);
  puts("# LED state of channels 1-16 (16 has no LED): all, then those that differ.");
  if (coarse) {
    puts("# Levels of switched-off components are read in 10 % steps only.");
  }
  channel_print(0, channels[common]);
  for (int c = 1; c <= kSettingsChannels; ++c) {
    if (!channels_equal(channels[c], channels[common])) channel_print(c, channels[c]);
  }
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
