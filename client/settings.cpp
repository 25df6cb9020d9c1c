#include "client/settings.h"

#include <cstdlib>
#include <cstring>

#include "client/exchange.h"
#include "protocol/arguments.h"
#include "protocol/dsp_mailbox.h"

constexpr char kSettingsQueries[kSettingsQueryCount][kSettingsQueryLength] = {
    "TRACKING",  "NOISESUP", "APT",   "EQ 0",   "EQ 1",  "EQ 2",
    "ACTNULCOL", "NULLMASK", "GTS 0", "GTSB 0", "GRGB 0"};

namespace {

using orvo::colour_of_argument;
constexpr const char* kComponents = orvo::kComponentLetters;

// Reading the settings changes none.
constexpr bool queries_read_only() {
  for (const char* query : kSettingsQueries) {
    if (!orvo::line_reads(query)) return false;
  }
  return kQueryEq0 + orvo::kEqBands == kQueryColours;
}
static_assert(queries_read_only(), "the settings queries only read, every band among them");

// The numbers after "ACK KEYWORD"; true when exactly count were there.
bool numbers_read(const char* reply, long* numbers, int count) {
  if (reply == nullptr) return false;
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
bool groups_read(const char* reply, int values[kSettingsChannels + 1][3]) {
  if (reply == nullptr) return false;
  int seen = 0;
  long channel;
  for (const char* p = reply; (p = group_next(p, &channel)) != nullptr;) {
    const char* k = strchr(kComponents, *p);
    if (*p == '\0' || k == nullptr || p[1] != '=') continue;  // CHnSC=0
    if (channel < 1 || channel > kSettingsChannels) return false;
    values[channel][k - kComponents] = static_cast<int>(strtol(p + 2, nullptr, 10));
    ++seen;
  }
  return seen == 3 * kSettingsChannels;
}

// "ACK GRGB 0 CH1 r g b CH2 ...": the colour every channel shows.
bool colours_read(const char* reply, int values[kSettingsChannels + 1][3]) {
  if (reply == nullptr) return false;
  int seen = 0;
  long channel;
  for (const char* p = reply; (p = group_next(p, &channel)) != nullptr; ++seen) {
    if (channel < 1 || channel > kSettingsChannels) return false;
    for (int k = 0; k < 3; ++k) {
      char* end;
      values[channel][k] = static_cast<int>(strtol(p, &end, 10));
      if (end == p) return false;
      p = end;
    }
  }
  return seen == kSettingsChannels;
}

// A command line split into words as the daemon splits a request (a line
// that it would refuse for its spacing has an empty word).
constexpr int kMaxWords = 8;
struct Words {
  char text[256];
  const char* word[kMaxWords];
  int count;
};

bool words_split(const char* line, Words* words) {
  const size_t length = strlen(line);
  if (length >= sizeof words->text) return false;
  memcpy(words->text, line, length + 1);
  Token tokens[kMaxLineTokens];
  words->count = tokens_split(words->text, length, tokens);
  if (words->count > kMaxWords) return false;
  for (int i = 0; i < words->count; ++i) {
    if (tokens[i].length == 0) return false;
    words->text[tokens[i].text - words->text + tokens[i].length] = '\0';
    words->word[i] = tokens[i].text;
  }
  return true;
}

// A number as the daemon reads it (saturated to 32 bits, whatever the width
// of long here).
long number(const char* text) { return argument_number(text); }

int bit_count(unsigned long value) {
  int count = 0;
  for (; value != 0; value &= value - 1) ++count;
  return count;
}

// The mask bit of a channel number: the channels that can be nulled only.
long channel_bit(long channel) {
  return channel >= orvo::kFirstNullChannel && channel <= orvo::kLastNullChannel ? 1L << channel
                                                                                 : 0;
}

// What the daemon does with a mask it takes: the channels that can be nulled
// in the null colour where their bit is set, else in the active colour.
bool mask_apply(ApplianceSettings* settings, long mask) {
  if (bit_count(static_cast<unsigned long>(mask)) > orvo::kMaxNulledChannels) return false;
  // The DSP keeps the mask in a form of its own, in which bit 0 (no channel)
  // takes channel 15's place: it reads back so.
  settings->mask = dsp_decode(DSP_NULL_MASK, dsp_encode(DSP_NULL_MASK, static_cast<int>(mask)));
  for (int c = orvo::kFirstNullChannel; c <= orvo::kLastNullChannel; ++c) {
    const long* colour =
        settings->colours + ((mask >> c & 1) != 0 ? orvo::kNullColour : orvo::kActiveColour);
    for (int k = 0; k < 3; ++k) settings->channels[c].level[k] = static_cast<int>(colour[k]);
  }
  return true;
}

// The channel argument of STS and STSB: 0 for all, 1-16; -1 when refused.
long channel_checked(const char* text) {
  const long channel = number(text);
  return static_cast<unsigned long>(channel) > kSettingsChannels ? -1 : channel;
}

int component_index(char letter) {
  const char* k = letter != '\0' ? strchr(kComponents, letter) : nullptr;
  return k != nullptr ? static_cast<int>(k - kComponents) : -1;
}

bool channel_selected(long argument, int channel) { return argument == 0 || argument == channel; }

// The commands a settings file may hold, with the forms that set something.
constexpr orvo::SettingForms kTracking = orvo::setting_forms("TRACKING");
constexpr orvo::SettingForms kNoiseSup = orvo::setting_forms("NOISESUP");
constexpr orvo::SettingForms kNoiseRed = orvo::setting_forms("NOISERED");
constexpr orvo::SettingForms kApt = orvo::setting_forms("APT");
constexpr orvo::SettingForms kEq = orvo::setting_forms("EQ");
constexpr orvo::SettingForms kActNulCol = orvo::setting_forms("ACTNULCOL");
constexpr orvo::SettingForms kNullMask = orvo::setting_forms("NULLMASK");
constexpr orvo::SettingForms kNull = orvo::setting_forms("NULL");
constexpr orvo::SettingForms kSrgb = orvo::setting_forms("SRGB");
constexpr orvo::SettingForms kSts = orvo::setting_forms("STS");
constexpr orvo::SettingForms kStsb = orvo::setting_forms("STSB");

}  // namespace

unsigned settings_read(char* const* replies, ApplianceSettings* settings) {
  unsigned known = 0;
  const auto one = [&](SettingsQuery query, long* value) {
    if (numbers_read(replies[query], value, 1)) known |= 1u << query;
  };
  one(kQueryTracking, &settings->tracking);
  one(kQueryNoise, &settings->noise);
  one(kQueryApt, &settings->apt);
  one(kQueryMask, &settings->mask);
  for (int b = 0; b < orvo::kEqBands; ++b) {
    long band[2];
    if (numbers_read(replies[kQueryEq0 + b], band, 2) && band[0] == b) {
      settings->eq[b] = band[1];
      known |= 1u << (kQueryEq0 + b);
    }
  }
  long colours[orvo::kColourBytes];
  if (numbers_read(replies[kQueryColours], colours, orvo::kColourBytes)) {
    for (int i = 0; i < orvo::kColourBytes; ++i)
      settings->colours[colour_of_argument(i)] = colours[i];
    known |= 1u << kQueryColours;
  }
  int flags[kSettingsChannels + 1][3] = {}, percent[kSettingsChannels + 1][3] = {},
                                levels[kSettingsChannels + 1][3] = {};
  if (groups_read(replies[kQueryFlags], flags) && groups_read(replies[kQueryPercent], percent) &&
      colours_read(replies[kQueryLevels], levels)) {
    // Each channel's levels: as shown where the component is on, else the
    // level that its percentage stands for (as STSB sets it).
    for (int c = 1; c <= kSettingsChannels; ++c) {
      for (int k = 0; k < 3; ++k) {
        LedChannel& channel = settings->channels[c];
        channel.on[k] = flags[c][k] != 0;
        channel.level[k] = channel.on[k] ? levels[c][k] : settings_percent_level(percent[c][k]);
      }
    }
    known |= kSettingsLeds;
  }
  return known;
}

int settings_percent(int level) {
  return level == orvo::kLevelFull ? orvo::kPercentFull
                                   : level / orvo::kLevelStep * orvo::kPercentStep;
}

int settings_percent_level(int percent) {
  return percent >= orvo::kPercentFull ? orvo::kLevelFull
                                       : percent / orvo::kPercentStep * orvo::kLevelStep;
}

bool settings_apply(ApplianceSettings* settings, const char* line, SettingsNamed* named) {
  Words words;
  if (!words_split(line, &words)) return false;
  const char* keyword = words.word[0];
  const char* const* argument = words.word + 1;
  const int count = words.count - 1;
  // The line is a form of the command that sets something.
  const auto is = [keyword, count](orvo::SettingForms forms) {
    return strcmp(keyword, forms.keyword) == 0 && (forms.sets & orvo::arguments(count)) != 0;
  };

  if (is(kTracking) || is(kNoiseSup) || is(kNoiseRed) || is(kApt)) {
    const long value = number(argument[0]);
    if (value < 0 || value > (is(kApt) ? orvo::kAptModes : 1)) return false;
    (is(kTracking) ? settings->tracking : is(kApt) ? settings->apt : settings->noise) = value;
    *named |= is(kTracking) ? kNamedTracking : is(kApt) ? kNamedApt : kNamedNoise;
    return true;
  }
  if (is(kEq)) {
    const long band = number(argument[0]);
    const long gain = static_cast<short>(number(argument[1]));
    if (band < 0 || band >= orvo::kEqBands || gain < orvo::kEqGainMin || gain > orvo::kEqGainMax)
      return false;
    settings->eq[band] = gain;
    *named |= kNamedEq0 << band;
    return true;
  }
  if (is(kActNulCol)) {
    for (int i = 0; i < orvo::kColourBytes; ++i)
      settings->colours[colour_of_argument(i)] = number(argument[i]) & 0xFF;
    mask_apply(settings, settings->mask);  // as the daemon repaints with the mask it reads
    *named |= kNamedColours;
    return true;
  }
  if (is(kNullMask)) {
    if (!mask_apply(settings, number(argument[0]) & 0xFFFF)) return false;
    *named |= kNamedMask;
    return true;
  }
  if (is(kNull)) {
    const long a = number(argument[0]);
    const long b = count == 2 ? number(argument[1]) : -1;
    if (count == 2 && (a == 0 || b == 0)) return false;
    mask_apply(settings, channel_bit(a) | (count == 2 ? channel_bit(b) : 0));  // two bits at most
    *named |= kNamedMask;
    return true;
  }
  if (is(kSrgb)) {
    const long channel = number(argument[0]);
    for (int c = 1; c <= kSettingsChannels; ++c) {
      if (!channel_selected(channel, c)) continue;
      *named |= kNamedChannel1 << (c - 1);
      for (int k = 0; k < 3; ++k) {
        settings->channels[c].level[k] = static_cast<int>(number(argument[1 + k]) & 0xFF);
        settings->channels[c].on[k] = true;
      }
    }
    return true;
  }
  if (is(kSts) || is(kStsb)) {
    const long channel = channel_checked(argument[0]);
    const char* value = argument[1];
    const int k = component_index(value[0]);
    if (channel < 0 || k < 0 || value[1] != '=') return false;
    if (is(kSts)) {
      if (strlen(value) != 3 || (value[2] != '0' && value[2] != '1')) return false;
      for (int c = 1; c <= kSettingsChannels; ++c) {
        if (!channel_selected(channel, c)) continue;
        settings->channels[c].on[k] = value[2] == '1';
        *named |= kNamedChannel1 << (c - 1);
      }
      return true;
    }
    const long percent = number(value + 2);
    if (static_cast<unsigned long>(percent) > orvo::kPercentFull ||
        percent % orvo::kPercentStep != 0)
      return false;
    for (int c = 1; c <= kSettingsChannels; ++c) {
      if (!channel_selected(channel, c)) continue;
      settings->channels[c].level[k] = settings_percent_level(static_cast<int>(percent));
      *named |= kNamedChannel1 << (c - 1);
    }
    return true;
  }
  return false;
}

static_assert(kSettingsChannels == 16, "a name below for each LED channel");
constexpr char kSettingNames[kSettingCount][kSettingNameLength] = {
    "tracking",       "noise_suppression", "apt_mode",       "eq_band_0",      "eq_band_1",
    "eq_band_2",      "colours",           "null_channels",  "led_channel_1",  "led_channel_2",
    "led_channel_3",  "led_channel_4",     "led_channel_5",  "led_channel_6",  "led_channel_7",
    "led_channel_8",  "led_channel_9",     "led_channel_10", "led_channel_11", "led_channel_12",
    "led_channel_13", "led_channel_14",    "led_channel_15", "led_channel_16"};

SettingsNamed settings_differing(const ApplianceSettings& a, const ApplianceSettings& b,
                                 SettingsNamed named) {
  SettingsNamed differing = 0;
  const auto compare = [&differing](SettingsNamed which, bool differs) {
    if (differs) differing |= which;
  };
  compare(kNamedTracking, a.tracking != b.tracking);
  compare(kNamedNoise, a.noise != b.noise);
  compare(kNamedApt, a.apt != b.apt);
  for (int band = 0; band < orvo::kEqBands; ++band)
    compare(kNamedEq0 << band, a.eq[band] != b.eq[band]);
  compare(kNamedColours, memcmp(a.colours, b.colours, sizeof a.colours) != 0);
  compare(kNamedMask, a.mask != b.mask);
  for (int c = 1; c <= kSettingsChannels; ++c) {
    bool differs = false;
    for (int k = 0; k < 3; ++k) {
      const LedChannel &x = a.channels[c], &y = b.channels[c];
      differs = differs || x.on[k] != y.on[k] ||
                (x.on[k] ? x.level[k] != y.level[k]
                         : settings_percent(x.level[k]) != settings_percent(y.level[k]));
    }
    compare(kNamedChannel1 << (c - 1), differs);
  }
  return differing & named;
}

int settings_differences(const ApplianceSettings& a, const ApplianceSettings& b,
                         SettingsNamed named) {
  return bit_count(settings_differing(a, b, named));
}
