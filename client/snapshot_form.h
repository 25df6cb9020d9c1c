// The snapshot's form (-s): every setting that the protocol lets one read,
// written as the commands that set it, in an order that keeps each one.
// Inlined where it is used: orvo-udpc prints it (client/snapshot.cpp) at no
// cost in bytes, and the library's settings_text (client/settings.h)
// returns it as text for the integrator's programs.
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
#pragma once

#include <cstring>

#include "client/settings.h"

[[gnu::always_inline]] inline bool snapshot_channels_equal(const LedChannel& a,
                                                           const LedChannel& b) {
  return memcmp(a.level, b.level, sizeof a.level) == 0 && memcmp(a.on, b.on, sizeof a.on) == 0;
}

// Writes the settings as commands to out, which has print(format, ...) as
// printf has it and put(text) as puts.
template <typename Out>
[[gnu::always_inline]] inline void snapshot_form(Out& out, const char* host,
                                                 const ApplianceSettings& settings) {
  const auto channel_print = [&out](int number, const LedChannel& channel) {
    out.print("SRGB %d %d %d %d\n", number, channel.level[0], channel.level[1], channel.level[2]);
    for (int k = 0; k < 3; ++k) {
      if (!channel.on[k]) out.print("STS %d %c=0\n", number, orvo::kComponentLetters[k]);
    }
  };
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
    for (int d = 1; d <= kSettingsChannels; ++d)
      same += snapshot_channels_equal(channels[c], channels[d]);
    if (same > most) {
      most = same;
      common = c;
    }
  }

  out.print("# Settings of %s, read by orvo-udpc -s; send them with orvo-udpc -a.\n", host);
  out.print("TRACKING %ld\nNOISESUP %ld\nAPT %ld\n", settings.tracking, settings.noise,
            settings.apt);
  bool flat = true;
  for (const long gain : settings.eq) flat = flat && gain == 0;
  if (flat) {
    out.put("# The equalizer reads 0 on every band: it is off, or on and flat. These\n"
            "# lines leave it on and flat; only DEFAULTS switches it off.");
  }
  for (int b = 0; b < orvo::kEqBands; ++b) out.print("EQ %d %ld\n", b, settings.eq[b]);
  out.put("# Null colours and mask before the LED levels, which they repaint.");
  const long* colours = settings.colours;
  using orvo::colour_of_argument;
  out.print("ACTNULCOL %ld %ld %ld %ld %ld %ld\nNULLMASK %ld\n", colours[colour_of_argument(0)],
            colours[colour_of_argument(1)], colours[colour_of_argument(2)],
            colours[colour_of_argument(3)], colours[colour_of_argument(4)],
            colours[colour_of_argument(5)], settings.mask);
  out.put("# LED state of channels 1-16 (16 has no LED): all, then those that differ.");
  if (coarse) {
    out.put("# Levels of switched-off components are read in 10 % steps only.");
  }
  channel_print(0, channels[common]);
  for (int c = 1; c <= kSettingsChannels; ++c) {
    if (!snapshot_channels_equal(channels[c], channels[common])) channel_print(c, channels[c]);
  }
}
