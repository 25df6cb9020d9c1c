#include "sim/view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>

namespace sim {

namespace {

// The daemon's correction factors, as single-precision constants.
constexpr float kRedFactor = 0.46f;
constexpr float kBlueFactor = 0.687f;

// The smallest level whose corrected value reaches `file`. Several levels
// correct to the same value (red 100, 101 and 102 all give 46), so this may
// be a step or two below the level the daemon was given, but 0 stays 0 and
// full stays full.
uint8_t uncorrect(uint8_t file, float factor) {
  for (unsigned level = 0; level <= 255; ++level) {
    if (static_cast<unsigned>(static_cast<float>(level) * factor) >= file) {
      return static_cast<uint8_t>(level);
    }
  }
  return 255;
}

std::string hex(const Rgb& c) {
  char text[8];
  snprintf(text, sizeof text, "#%02x%02x%02x", c.r, c.g, c.b);
  return text;
}

std::string on_off(uint16_t value) {
  if (value == 0) return "off";
  if (value == 1) return "on";
  return std::to_string(value);
}

std::string signed_gain(int gain) {
  char text[8];
  snprintf(text, sizeof text, "%+d", gain);
  return text;
}

std::string apt_text(unsigned apt) { return apt == 0 ? "off" : "mode " + std::to_string(apt); }

std::string gains_text(const DspMeaning& d) {
  return signed_gain(d.eq_gain[0]) + " / " + signed_gain(d.eq_gain[1]) + " / " +
         signed_gain(d.eq_gain[2]) + " dB";
}

std::string equalizer_text(const DspMeaning& d) {
  return d.eq_enabled ? "on   " + gains_text(d) : "off  (" + gains_text(d) + ")";
}

std::string nulled_text(const DspMeaning& d) {
  return nulled_channels(d.null_mask) + " (count " + std::to_string(d.null_count) + ")";
}

std::string mictest_text(const DspMeaning& d) {
  return std::string(d.mictest_running ? "running" : "idle") + ", result " +
         std::to_string(d.mictest_result);
}

std::string status_text(uint16_t status) {
  char text[24];
  snprintf(text, sizeof text, "0x%04x (%u)", status, status);
  return text;
}

// ---- A screen of cells, turned into lines at the end ----

struct Style {
  bool bold = false;
  std::optional<Rgb> fg, bg;
  bool operator==(const Style&) const = default;
};

struct Cell {
  char ch = ' ';
  Style style;
};

class Screen {
 public:
  Screen(int width, int height)
      : width_(std::max(width, 0)),
        cells_(static_cast<size_t>(std::max(height, 0)),
               std::vector<Cell>(static_cast<size_t>(width_))) {}

  int height() const { return static_cast<int>(cells_.size()); }
  int width() const { return width_; }

  // Writes text from (row, col) on; whatever falls outside is cut off.
  void put(int row, int col, const std::string& text, const Style& style = {}) {
    if (row < 0 || row >= height()) return;
    for (size_t i = 0; i < text.size(); ++i) {
      const int x = col + static_cast<int>(i);
      if (x < 0 || x >= width_) continue;
      cells_[static_cast<size_t>(row)][static_cast<size_t>(x)] = Cell{text[i], style};
    }
  }

  std::vector<std::string> lines(ColourMode mode) const {
    std::vector<std::string> out;
    for (const std::vector<Cell>& row : cells_) out.push_back(line(row, mode));
    return out;
  }

 private:
  static std::string sgr(const Style& style) {
    std::string text = "\x1b[0";
    if (style.bold) text += ";1";
    const auto colour = [&](const char* kind, const Rgb& c) {
      text += std::string(";") + kind + ";2;" + std::to_string(c.r) + ";" + std::to_string(c.g) +
              ";" + std::to_string(c.b);
    };
    if (style.fg) colour("38", *style.fg);
    if (style.bg) colour("48", *style.bg);
    return text + "m";
  }

  static std::string line(const std::vector<Cell>& row, ColourMode mode) {
    // Trailing blanks are left to the writer, which clears to the line's end.
    size_t end = row.size();
    while (end > 0 && row[end - 1].ch == ' ' &&
           (mode == ColourMode::none || row[end - 1].style == Style{})) {
      --end;
    }
    std::string text;
    Style current;
    for (size_t i = 0; i < end; ++i) {
      if (mode == ColourMode::truecolour && !(row[i].style == current)) {
        current = row[i].style;
        text += sgr(current);
      }
      text += row[i].ch;
    }
    if (!(current == Style{})) text += "\x1b[0m";
    return text;
  }

  int width_;
  std::vector<std::vector<Cell>> cells_;
};

// ---- Layout of an 80 x 24 frame ----
//
// row 0            title and the daemon's state
// rows 1..12       the LED ring (columns 0..33) and the DSP panel (from 36)
// row 13           log heading
// rows 14..h-2     the newest log lines (fewer with a note)
// rows above h-1   the note, wrapped at the frame's width
// row h-1          how to send commands

constexpr int kRingTop = 1;
constexpr int kRingCentreX = 17;
constexpr int kRingCentreY = kRingTop + 5;
constexpr double kRingRadiusX = 13.0;  // terminal cells are about twice as tall as wide
constexpr double kRingRadiusY = 5.0;
constexpr int kPanelCol = 36;
constexpr int kPanelValueCol = kPanelCol + 19;
constexpr int kLogHeadingRow = 13;

const Style kBold{true, std::nullopt, std::nullopt};

// One letter for a colour in the no-colour mode: the components that are at
// least half of the brightest one name the hue; lower case when dim.
char colour_letter(const Rgb& c) {
  const int top = std::max({c.r, c.g, c.b});
  if (top < 8) return '.';
  const bool r = c.r * 2 >= top, g = c.g * 2 >= top, b = c.b * 2 >= top;
  char letter = r && g && b ? 'W'
                : r && g    ? 'Y'
                : g && b    ? 'C'
                : r && b    ? 'M'
                : r         ? 'R'
                : g         ? 'G'
                            : 'B';
  if (top < 128) letter = static_cast<char>(letter - 'A' + 'a');
  return letter;
}

void draw_ring(Screen& screen, const LedLevels& leds, ColourMode mode) {
  for (int led = 1; led <= kLedCount; ++led) {
    // LED 1 at the top, then clockwise.
    const double angle = (-90.0 + 360.0 / kLedCount * (led - 1)) * std::numbers::pi / 180.0;
    const int x = kRingCentreX + static_cast<int>(std::lround(kRingRadiusX * std::cos(angle)));
    const int y = kRingCentreY + static_cast<int>(std::lround(kRingRadiusY * std::sin(angle)));
    const Rgb seen = as_seen(leds[static_cast<size_t>(led - 1)]);
    char text[8];
    if (mode == ColourMode::none) {
      snprintf(text, sizeof text, "%2d%c ", led, colour_letter(seen));
      screen.put(y, x - 2, text);
    } else {
      snprintf(text, sizeof text, " %-2d ", led);
      // The number in black on light colours, in grey on dark ones.
      const int luma = 2 * seen.r + 5 * seen.g + seen.b;
      const Rgb ink = luma >= 8 * 110 ? Rgb{0, 0, 0} : Rgb{170, 170, 170};
      screen.put(y, x - 2, text, Style{false, ink, seen});
    }
  }
  screen.put(kRingCentreY, kRingCentreX - 4, "LED ring");
}

void draw_panel(Screen& screen, const DspWords& words, ColourMode mode) {
  const DspMeaning d = decode_dsp(words);
  int row = kRingTop;
  screen.put(row++, kPanelCol, "DSP", kBold);
  const auto item = [&](const char* label, const std::string& value) {
    screen.put(row, kPanelCol, label);
    screen.put(row, kPanelValueCol, value);
    ++row;
  };
  item("Tracking", on_off(d.tracking));
  item("Noise suppression", on_off(d.noise));
  item("APT", apt_text(d.apt));
  item("Equalizer", equalizer_text(d));
  item("Nulled channels", nulled_text(d));
  item("Mic test", mictest_text(d));
  item("Status word", status_text(d.status));
  item("Parameter 13", std::to_string(d.param13));
  item("Parameter 14", std::to_string(d.param14));
  if (mode == ColourMode::none) {
    screen.put(row++, kPanelCol, "Ring: W white, R G B Y C M colours,");
    screen.put(row++, kPanelCol, "lower case dim, . dark");
  }
}

void draw_log(Screen& screen, const std::vector<std::string>& log, int first_row, int last_row) {
  std::string heading = "-- orvo-udpd log ";
  heading += std::string(
      static_cast<size_t>(std::max(0, screen.width() - static_cast<int>(heading.size()))), '-');
  screen.put(kLogHeadingRow, 0, heading, kBold);
  const int rows = last_row - first_row + 1;
  if (rows <= 0) return;
  const size_t shown = std::min(log.size(), static_cast<size_t>(rows));
  for (size_t i = 0; i < shown; ++i) {
    std::string text = printable(log[log.size() - shown + i]);
    if (static_cast<int>(text.size()) > screen.width() && screen.width() > 3) {
      text = text.substr(0, static_cast<size_t>(screen.width() - 3)) + "...";
    }
    screen.put(first_row + static_cast<int>(i), 0, text);
  }
}

}  // namespace

Rgb as_seen(const Rgb& files) {
  return Rgb{uncorrect(files.r, kRedFactor), files.g, uncorrect(files.b, kBlueFactor)};
}

uint8_t parse_level(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  long level = 0;
  bool digits = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    digits = true;
    level = std::min(level * 10 + (text[i] - '0'), 1000L);
  }
  return digits ? static_cast<uint8_t>(std::min(level, 255L)) : 0;
}

DspMeaning decode_dsp(const DspWords& w) {
  // The command form of a parameter, as the daemon reads it.
  const auto value = [&](unsigned param) { return dsp_decode(param, w[param]); };
  const auto gain = [&](unsigned param) {
    return static_cast<int>(static_cast<int16_t>(value(param)));
  };
  DspMeaning d;
  d.tracking = value(DSP_TRACKING);
  d.noise = value(DSP_NOISE);
  d.apt = value(DSP_APT_ENABLE) != 0 ? value(DSP_APT_MODE) + 1u : 0;
  d.eq_enabled = value(DSP_EQ_ENABLE) != 0;
  d.null_count = value(DSP_NULL_COUNT);
  d.eq_gain = {gain(DSP_EQ_BAND0), gain(DSP_EQ_BAND1), gain(DSP_EQ_BAND2)};
  d.mictest_running = value(DSP_MICTEST) != 0;
  d.mictest_result = value(DSP_MICTEST_RESULT);
  d.status = value(DSP_STATUS);
  d.null_mask = value(DSP_NULL_MASK);
  d.param13 = value(DSP_PARAM_13);
  d.param14 = value(DSP_PARAM_14);
  return d;
}

std::string nulled_channels(uint16_t mask) {
  std::string text;
  for (int channel = 1; channel <= kLedCount; ++channel) {
    if ((mask & (1u << channel)) == 0) continue;
    if (!text.empty()) text += ", ";
    text += std::to_string(channel);
  }
  return text.empty() ? "none" : text;
}

ColourMode choose_colour(const char* term, const char* no_color, int terminfo_colours) {
  if (term == nullptr || *term == '\0' || strcmp(term, "dumb") == 0) return ColourMode::none;
  if (no_color != nullptr && *no_color != '\0') return ColourMode::none;
  if (terminfo_colours >= 0 && terminfo_colours < 8) return ColourMode::none;
  return ColourMode::truecolour;
}

std::vector<std::string> render_view(const ViewState& state, int width, int height,
                                     ColourMode mode) {
  Screen screen(width, height);
  screen.put(0, 0, "orvo-sim | " + state.status, kBold);
  draw_ring(screen, state.leds, mode);
  draw_panel(screen, state.dsp, mode);
  const std::string note = printable(state.note);
  const int note_rows =
      note.empty() ? 0 : (static_cast<int>(note.size()) + width - 1) / std::max(width, 1);
  for (int row = 0; row < note_rows; ++row) {
    screen.put(height - 1 - note_rows + row, 0,
               note.substr(static_cast<size_t>(row) * static_cast<size_t>(width),
                           static_cast<size_t>(width)),
               kBold);
  }
  draw_log(screen, state.log, kLogHeadingRow + 1, height - 2 - note_rows);
  screen.put(height - 1, 0,
             "Send commands: " + state.client + " 127.0.0.1 WORD...    Ctrl-C stops");
  return screen.lines(mode);
}

std::string leds_line(const LedLevels& leds) {
  std::string text = "leds:";
  int first = 1;
  for (int led = 1; led <= kLedCount; ++led) {
    const Rgb colour = as_seen(leds[static_cast<size_t>(led - 1)]);
    if (led < kLedCount && as_seen(leds[static_cast<size_t>(led)]) == colour) continue;
    text += first == 1 ? " " : ", ";
    text += first == led ? std::to_string(led) : std::to_string(first) + "-" + std::to_string(led);
    text += " " + hex(colour);
    first = led + 1;
  }
  return text;
}

std::string dsp_line(const DspWords& words) {
  const DspMeaning d = decode_dsp(words);
  return "dsp: tracking " + on_off(d.tracking) + ", noise suppression " + on_off(d.noise) +
         ", APT " + apt_text(d.apt) + ", equalizer " + (d.eq_enabled ? "on " : "off ") +
         gains_text(d) + ", nulled " + nulled_text(d) + ", mic test " + mictest_text(d) +
         ", status " + status_text(d.status) + ", parameter 13 " + std::to_string(d.param13) +
         ", parameter 14 " + std::to_string(d.param14);
}

std::string printable(const std::string& message) {
  std::string text = message;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) c = '?';
  }
  return text;
}

}  // namespace sim
