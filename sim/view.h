// The simulator's view of the appliance: what its LEDs show, what its DSP
// holds and what the daemon has logged, drawn as terminal lines.
//
// Everything here is a pure function of its arguments, so that what the
// view draws can be checked without a terminal, a sandbox or a daemon.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/dsp_mailbox.h"
#include "protocol/platform.h"

namespace sim {

struct Rgb {
  uint8_t r = 0, g = 0, b = 0;
  bool operator==(const Rgb&) const = default;
};

// What the 45 brightness files hold: LED n (1..15) at index n - 1.
using LedLevels = std::array<Rgb, kLedCount>;
// The 15 DSP parameters as the DSP stores them.
using DspWords = std::array<uint16_t, kDspParamCount>;

// The daemon dims red and blue on their way to the LED drivers (x 0.46 and
// x 0.687, truncated), so that the LEDs look balanced. This undoes that for
// display: the level the daemon was asked for, which is the colour a person
// sees. Levels beyond what a correction can produce show as 255.
Rgb as_seen(const Rgb& files);
// Parses a brightness file's text; anything unreadable is 0, above 255 is 255.
uint8_t parse_level(const std::string& text);

// The DSP parameters by meaning, decoded from their DSP form.
struct DspMeaning {
  uint16_t tracking = 0;  // 0 off, 1 on
  uint16_t noise = 0;     // noise suppression, 0 off, 1 on
  unsigned apt = 0;       // 0 off, otherwise the mode + 1 (1..3)
  bool eq_enabled = false;
  std::array<int, 3> eq_gain{};  // dB, bands 0..2
  uint16_t null_mask = 0;        // command form: bit n = channel n nulled
  uint16_t null_count = 0;
  bool mictest_running = false;
  uint16_t mictest_result = 0;
  uint16_t status = 0;
  uint16_t param13 = 0;
  uint16_t param14 = 0;
};
DspMeaning decode_dsp(const DspWords& words);
// "3, 7" or "none"; channels 1..15 in ascending order.
std::string nulled_channels(uint16_t mask);

enum class ColourMode { none, truecolour };

// Colour unless the terminal has none: TERM unset, empty or "dumb", NO_COLOR
// set (to anything), or fewer than 8 colours reported by terminfo (a
// negative count means unknown and is taken as colour).
ColourMode choose_colour(const char* term, const char* no_color, int terminfo_colours);

// Everything one frame of the view shows.
struct ViewState {
  LedLevels leds{};
  DspWords dsp{};
  std::vector<std::string> log;  // oldest first, as logged
  std::string status;            // one line about the daemon
  std::string client;            // how to call the client, e.g. "build/orvo-udpc"
  // A line shown above the last row, in as many rows as it takes (so that
  // an address in it is whole), for example where the panel is.
  std::string note;
};

// The lines of one frame for a terminal of the given size: exactly `height`
// lines, each at most `width` columns wide once its escape sequences are
// left out. Colour lines set their attributes with SGR sequences and end
// with a reset; ColourMode::none gives plain ASCII.
std::vector<std::string> render_view(const ViewState& state, int width, int height,
                                     ColourMode mode);

// One-line summaries for the plain-text mode, where the view is a stream of
// lines and only changes are printed.
std::string leds_line(const LedLevels& leds);  // "leds: 1-3 #ffffff, 4-15 #00ff00"
std::string dsp_line(const DspWords& words);   // "dsp: tracking on, ..."
// A log message as one printable line: no trailing newline, control
// characters and anything beyond ASCII shown as '?'.
std::string printable(const std::string& message);

}  // namespace sim
