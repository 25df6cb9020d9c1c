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
#include "client/fleet.h"
#include "protocol/protocol.h"

namespace {

const char* const kQueries[] = {"TRACKING",  "NOISESUP", "APT",   "EQ 0",   "EQ 1",  "EQ 2",
                                "ACTNULCOL", "NULLMASK", "GTS 0", "GTSB 0", "GRGB 0"};
enum Query {
  kTracking,
  kNoise,
  kApt,
  kEq0,
  kEq1,
  kEq2,
  kColours,
  kMask,
  kFlags,
  kPercent,
  kLevels,
  kQueryCount
};

constexpr int kChannels = orvo::kLedStateChannels;  // the last has no LED
constexpr char kComponents[] = "RGB";

struct Channel {
  int level[3];
  int on[3];
};

// The numbers after "ACK KEYWORD"; how many were read (exactly count wanted).
bool numbers_read(const char* reply, long* numbers, int count) {
  const char* p = strchr(reply + 4, ' ');  // after "ACK " and the keyword
  for (int i = 0; i < count; ++i) {
    if (p == nullptr || *p != ' ') return false;
    char* end;
    numbers[i] = strtol(p + 1, &end, 10);
    if (end == p + 1) return false;
    p = end;
  }
  return p != nullptr && *p == '\0';
}

// The next " CH<number>" of a report: the number, and the text after it.
const char* group_next(const char* p, long* channel) {
  while ((p = strchr(p, ' ')) != nullptr) {
    if (*++p == 'C' && p[1] == 'H') {
      char* end;
      *channel = strtol(p + 2, &end, 10);
      return end;
    }
  }
  return nullptr;
}

// "ACK GTS 0 CH1R=1 CH1G=1 CH1B=1 CH1SC=0 ..." (GTSB alike): the three values
// of every channel.
bool groups_read(const char* reply, int values[kChannels + 1][3]) {
  int seen = 0;
  long channel;
  for (const char* p = reply; (p = group_next(p, &channel)) != nullptr;) {
    const char* k = strchr(kComponents, *p);
    if (*p == '\0' || k == nullptr || p[1] != '=') continue;  // CHnSC=0
    if (channel < 1 || channel > kChannels) return false;
    values[channel][k - kComponents] = static_cast<int>(strtol(p + 2, nullptr, 10));
    ++seen;
  }
  return seen == 3 * kChannels;
}

// "ACK GRGB 0 CH1 r g b CH2 ...": the colour every channel shows.
bool colours_read(const char* reply, int values[kChannels + 1][3]) {
  int seen = 0;
  long channel;
  for (const char* p = reply; (p = group_next(p, &channel)) != nullptr; ++seen) {
    if (channel < 1 || channel > kChannels) return false;
    for (int k = 0; k < 3; ++k) {
      char* end;
      values[channel][k] = static_cast<int>(strtol(p, &end, 10));
      if (end == p) return false;
      p = end;
    }
  }
  return seen == kChannels;
}

// The level that STSB sets for a percentage, which GTSB reports back.
int percent_level(int percent) { return percent >= 100 ? 255 : percent / 10 * 25; }

bool channels_equal(const Channel& a, const Channel& b) {
  return memcmp(a.level, b.level, sizeof a.level) == 0 && memcmp(a.on, b.on, sizeof a.on) == 0;
}

void channel_print(int number, const Channel& channel) {
  printf("SRGB %d %d %d %d\n", number, channel.level[0], channel.level[1], channel.level[2]);
  for (int k = 0; k < 3; ++k) {
    if (!channel.on[k]) printf("STS %d %c=0\n", number, kComponents[k]);
  }
}

// Prints the settings that the replies to kQueries tell, as commands.
int settings_print(const char* host, char* const* replies) {
  long tracking = 0, noise = 0, apt = 0, band[3][2] = {}, colours[6] = {}, mask = 0;
  int flags[kChannels + 1][3] = {}, percent[kChannels + 1][3] = {}, levels[kChannels + 1][3] = {};
  Query bad = kQueryCount;
  for (int q = 0; q < kQueryCount; ++q) {
    if (replies[q] == nullptr) {
      fprintf(stderr, "%s: out of memory\n", host);
      return kFleetFailed;
    }
  }
  if (!numbers_read(replies[kTracking], &tracking, 1)) bad = kTracking;
  if (!numbers_read(replies[kNoise], &noise, 1)) bad = kNoise;
  if (!numbers_read(replies[kApt], &apt, 1)) bad = kApt;
  for (int b = 0; b < 3; ++b) {
    if (!numbers_read(replies[kEq0 + b], band[b], 2) || band[b][0] != b)
      bad = static_cast<Query>(kEq0 + b);
  }
  if (!numbers_read(replies[kColours], colours, 6)) bad = kColours;
  if (!numbers_read(replies[kMask], &mask, 1)) bad = kMask;
  if (!groups_read(replies[kFlags], flags)) bad = kFlags;
  if (!groups_read(replies[kPercent], percent)) bad = kPercent;
  if (!colours_read(replies[kLevels], levels)) bad = kLevels;
  if (bad != kQueryCount) {
    fprintf(stderr, "%s: unexpected reply to %s: %s\n", host, kQueries[bad], replies[bad]);
    return kFleetFailed;
  }

  // Each channel's levels: as shown where the component is on, else the
  // level that its percentage stands for (as STSB sets it).
  Channel channels[kChannels + 1];
  bool coarse = false;
  for (int c = 1; c <= kChannels; ++c) {
    for (int k = 0; k < 3; ++k) {
      channels[c].on[k] = flags[c][k] != 0;
      channels[c].level[k] = channels[c].on[k] ? levels[c][k] : percent_level(percent[c][k]);
      coarse = coarse || !channels[c].on[k];
    }
  }
  // The most common channel setting goes to all channels at once (channel
  // 0), then each channel that differs from it.
  int common = 1, most = 0;
  for (int c = 1; c <= kChannels; ++c) {
    int same = 0;
    for (int d = 1; d <= kChannels; ++d) same += channels_equal(channels[c], channels[d]);
    if (same > most) {
      most = same;
      common = c;
    }
  }

  printf("# Settings of %s, read by orvo-udpc -s; send them with orvo-udpc -a.\n", host);
  printf("TRACKING %ld\nNOISESUP %ld\nAPT %ld\n", tracking, noise, apt);
  if (band[0][1] == 0 && band[1][1] == 0 && band[2][1] == 0) {
    puts("# The equalizer reads 0 on every band: it is off, or on and flat. These\n"
         "# lines leave it on and flat; only DEFAULTS switches it off.");
  }
  for (int b = 0; b < 3; ++b) printf("EQ %d %ld\n", b, band[b][1]);
  puts("# Null colours and mask before the LED levels, which they repaint.");
  printf("ACTNULCOL %ld %ld %ld %ld %ld %ld\nNULLMASK %ld\n", colours[0], colours[1], colours[2],
         colours[3], colours[4], colours[5], mask);
  puts("# LED state of channels 1-16 (16 has no LED): all, then those that differ.");
  if (coarse) {
    puts("# Levels of switched-off components are read in 10 % steps only.");
  }
  channel_print(0, channels[common]);
  for (int c = 1; c <= kChannels; ++c) {
    if (!channels_equal(channels[c], channels[common])) channel_print(c, channels[c]);
  }
  return fleet_printed("settings") ? kFleetOk : kFleetFailed;
}

}  // namespace

int fleet_snapshot(const char* host, const FleetTiming& timing) {
  char* replies[kQueryCount] = {};
  Peer peer{};
  if (!fleet_resolve(host, &peer.address)) return kFleetUsage;
  peer.lines = kQueries;
  peer.line_count = kQueryCount;
  peer.replies = replies;
  exchange_run(&peer, 1, timing);
  int status = kFleetFailed;
  const char* query = kQueries[peer.line < kQueryCount ? peer.line : 0];
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
