// The simulator's view: LED colours as they shine, DSP words by meaning, and
// the lines of a frame.

#include "sim/view.h"

#include <gtest/gtest.h>

#include <regex>

#include "sim/terminal.h"

namespace {

using sim::Rgb;

// What the daemon writes into the files for a level, single-precision and
// truncated like the daemon.
uint8_t corrected(uint8_t level, float factor) {
  return static_cast<uint8_t>(static_cast<unsigned>(static_cast<float>(level) * factor));
}

sim::LedLevels all(const Rgb& files) {
  sim::LedLevels leds;
  leds.fill(files);
  return leds;
}

// The stand-in's words at start: tracking and noise on, gains 0.
sim::DspWords start_words() { return {1, 1, 0, 0, 0, 1, 0xFFFF, 0xFFFF, 0, 0, 0, 0, 0, 0, 0}; }

size_t count(const std::string& text, const std::string& part) {
  size_t found = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

TEST(LedColour, UndoesTheDaemonsCorrection) {
  EXPECT_EQ(sim::as_seen({117, 255, 175}), (Rgb{255, 255, 255}));  // white
  EXPECT_EQ(sim::as_seen({0, 0, 175}), (Rgb{0, 0, 255}));          // SRGB 0 0 0 255
  EXPECT_EQ(sim::as_seen({0, 0, 0}), (Rgb{0, 0, 0}));
  // Hand-written levels beyond anything corrected show as full.
  EXPECT_EQ(sim::as_seen({200, 255, 255}), (Rgb{255, 255, 255}));
  // Every level shows within a step or two of itself, and what is shown
  // corrects back to the very file value.
  for (unsigned level = 0; level <= 255; ++level) {
    const auto l = static_cast<uint8_t>(level);
    const Rgb files{corrected(l, 0.46f), l, corrected(l, 0.687f)};
    const Rgb seen = sim::as_seen(files);
    EXPECT_LE(level - seen.r, 2u) << level;
    EXPECT_LE(level - seen.b, 1u) << level;
    EXPECT_EQ(seen.g, level);
    EXPECT_EQ(corrected(seen.r, 0.46f), files.r) << level;
    EXPECT_EQ(corrected(seen.b, 0.687f), files.b) << level;
  }
}

TEST(LedColour, ParsesBrightnessFiles) {
  EXPECT_EQ(sim::parse_level("117"), 117);
  EXPECT_EQ(sim::parse_level("42\n"), 42);
  EXPECT_EQ(sim::parse_level(""), 0);
  EXPECT_EQ(sim::parse_level("x"), 0);
  EXPECT_EQ(sim::parse_level("300"), 255);
  EXPECT_EQ(sim::parse_level("99999999999999999999"), 255);
}

TEST(DspMeaning, DecodesTheDspForms) {
  sim::DspWords w = start_words();
  sim::DspMeaning d = sim::decode_dsp(w);
  EXPECT_EQ(d.tracking, 1);
  EXPECT_EQ(d.noise, 1);
  EXPECT_EQ(d.apt, 0u);
  EXPECT_FALSE(d.eq_enabled);
  EXPECT_EQ(d.eq_gain, (std::array<int, 3>{0, 0, 0}));
  EXPECT_EQ(d.null_mask, 0);

  // Band 0 is kept one up (at least -20 read), bands 1 and 2 one down (at most 20).
  w[3] = 1;
  w[5] = 0xFFED;  // -19
  w[6] = 0xFFFC;  // -4
  w[7] = 25;
  d = sim::decode_dsp(w);
  EXPECT_TRUE(d.eq_enabled);
  EXPECT_EQ(d.eq_gain, (std::array<int, 3>{-20, -3, 20}));
  w[5] = 0xFFE0;  // -32 reads as the limit
  EXPECT_EQ(sim::decode_dsp(w).eq_gain[0], -20);

  // APT: the mode counts only while enabled, shown as 1..3.
  w[2] = 1;
  w[11] = 2;
  EXPECT_EQ(sim::decode_dsp(w).apt, 3u);
  w[2] = 0;
  EXPECT_EQ(sim::decode_dsp(w).apt, 0u);

  // Null mask: channels 1..14 sit one bit up, channel 15 in bit 1.
  w[12] = 0x0006;
  w[4] = 2;
  d = sim::decode_dsp(w);
  EXPECT_EQ(d.null_mask, 0x8002);
  EXPECT_EQ(d.null_count, 2);
  EXPECT_EQ(sim::nulled_channels(d.null_mask), "1, 15");
  w[12] = 0x0110;  // channels 3 and 7
  EXPECT_EQ(sim::nulled_channels(sim::decode_dsp(w).null_mask), "3, 7");
  EXPECT_EQ(sim::nulled_channels(0), "none");
  EXPECT_EQ(sim::nulled_channels(0x0001), "none");  // bit 0 names no channel

  w[8] = 1;
  w[9] = 5;
  w[10] = 0x1234;
  w[13] = 5629;
  w[14] = 42;
  d = sim::decode_dsp(w);
  EXPECT_TRUE(d.mictest_running);
  EXPECT_EQ(d.mictest_result, 5);
  EXPECT_EQ(d.status, 0x1234);
  EXPECT_EQ(d.param13, 5629);
  EXPECT_EQ(d.param14, 42);
}

TEST(ColourChoice, NoColourWhereTheTerminalHasNone) {
  EXPECT_EQ(sim::choose_colour("xterm-256color", nullptr, 256), sim::ColourMode::truecolour);
  EXPECT_EQ(sim::choose_colour("xterm", nullptr, 8), sim::ColourMode::truecolour);
  EXPECT_EQ(sim::choose_colour("xterm", nullptr, -1), sim::ColourMode::truecolour);
  EXPECT_EQ(sim::choose_colour("xterm", "", 256), sim::ColourMode::truecolour);
  EXPECT_EQ(sim::choose_colour("xterm", "1", 256), sim::ColourMode::none);
  EXPECT_EQ(sim::choose_colour("dumb", nullptr, -1), sim::ColourMode::none);
  EXPECT_EQ(sim::choose_colour(nullptr, nullptr, -1), sim::ColourMode::none);
  EXPECT_EQ(sim::choose_colour("", nullptr, -1), sim::ColourMode::none);
  EXPECT_EQ(sim::choose_colour("vt100", nullptr, 2), sim::ColourMode::none);
}

class Frame : public ::testing::Test {
 protected:
  Frame() {
    state.leds = all({0, 0, 0});
    state.dsp = start_words();
    state.status = "orvo-udpd listening on UDP port 49494";
    state.client = "build/orvo-udpc";
  }
  std::vector<std::string> draw(sim::ColourMode mode = sim::ColourMode::truecolour, int width = 80,
                                int height = 24) {
    return sim::render_view(state, width, height, mode);
  }
  sim::ViewState state;
};

TEST_F(Frame, RingShowsEachLedInItsColour) {
  state.leds = all({117, 255, 175});
  std::string text = joined(draw());
  EXPECT_EQ(count(text, "48;2;255;255;255m"), 15u);
  for (int led = 1; led <= 15; ++led) {
    char cell[32];
    snprintf(cell, sizeof cell, "48;2;255;255;255m %-2d ", led);
    EXPECT_EQ(count(text, cell), 1u) << "LED " << led;
  }

  state.leds = all({0, 0, 0});
  state.leds[6] = {0, 0, 175};  // LED 7 blue
  text = joined(draw());
  EXPECT_EQ(count(text, "48;2;0;0;255m 7  "), 1u);
  EXPECT_EQ(count(text, "48;2;0;0;0m"), 14u);
  EXPECT_EQ(count(text, "48;2;"), 15u);
}

TEST_F(Frame, RingGoesRoundClockwiseFromTheTop) {
  // Where each LED's number stands, in rows and columns.
  const std::vector<std::string> lines = draw(sim::ColourMode::none);
  std::vector<std::pair<int, int>> at(16, {-1, -1});
  for (int led = 1; led <= 15; ++led) {
    const std::regex cell("(^|[^0-9])" + std::to_string(led) + "\\.( |$)");
    for (size_t row = 1; row <= 12; ++row) {
      std::smatch match;
      const std::string left = lines[row].substr(0, 34);
      if (std::regex_search(left, match, cell)) {
        at[static_cast<size_t>(led)] = {static_cast<int>(row), static_cast<int>(match.position(0))};
      }
    }
    ASSERT_NE(at[static_cast<size_t>(led)].first, -1) << "LED " << led << " missing\n"
                                                      << joined(lines);
  }
  // LED 1 on top, 4 and 5 on the right, 8 and 9 at the bottom, 12 and 13 on the left.
  for (int led = 2; led <= 15; ++led) EXPECT_LE(at[1].first, at[static_cast<size_t>(led)].first);
  EXPECT_GT(at[4].second, at[1].second + 8);
  EXPECT_GT(at[8].first, at[5].first);
  EXPECT_LT(at[13].second, at[1].second - 8);
}

TEST_F(Frame, PanelShowsTheDspByMeaning) {
  state.dsp[0] = 0;  // tracking off
  state.dsp[2] = 1;
  state.dsp[11] = 1;  // APT 2
  state.dsp[3] = 1;
  state.dsp[5] = 0xFFFE;  // band 0 at -3
  state.dsp[6] = 0xFFFF;  // band 1 at 0
  state.dsp[7] = 5;       // band 2 at +6
  state.dsp[12] = 0x0110;
  state.dsp[4] = 2;
  state.dsp[10] = 0x1234;
  state.dsp[13] = 5629;
  const std::string text = joined(draw(sim::ColourMode::none));
  EXPECT_NE(text.find("Tracking           off"), std::string::npos) << text;
  EXPECT_NE(text.find("Noise suppression  on"), std::string::npos);
  EXPECT_NE(text.find("APT                mode 2"), std::string::npos);
  EXPECT_NE(text.find("Equalizer          on   -3 / +0 / +6 dB"), std::string::npos);
  EXPECT_NE(text.find("Nulled channels    3, 7 (count 2)"), std::string::npos);
  EXPECT_NE(text.find("Mic test           idle, result 0"), std::string::npos);
  EXPECT_NE(text.find("Status word        0x1234 (4660)"), std::string::npos);
  EXPECT_NE(text.find("Parameter 13       5629"), std::string::npos);

  state.dsp[3] = 0;
  state.dsp[8] = 1;
  const std::string off = joined(draw(sim::ColourMode::none));
  EXPECT_NE(off.find("Equalizer          off  (-3 / +0 / +6 dB)"), std::string::npos) << off;
  EXPECT_NE(off.find("Mic test           running"), std::string::npos);
}

TEST_F(Frame, LogShowsTheNewestLinesThatFit) {
  for (int i = 1; i <= 20; ++i) state.log.push_back("message " + std::to_string(i) + "\n");
  state.log.push_back("param not set correctly, tmp=2 val=1\n" + std::string(100, 'x'));
  std::vector<std::string> lines = draw(sim::ColourMode::none);
  ASSERT_EQ(lines.size(), 24u);
  // The heading, then the 9 newest lines just above the footer.
  EXPECT_EQ(lines[13].rfind("-- orvo-udpd log ", 0), 0u);
  EXPECT_EQ(lines[14], "message 13");
  EXPECT_EQ(lines[21], "message 20");
  EXPECT_EQ(lines[22].substr(0, 38), "param not set correctly, tmp=2 val=1?x");
  EXPECT_EQ(lines[22].size(), 80u);
  EXPECT_EQ(lines[22].substr(77), "...");
  EXPECT_EQ(lines[23].rfind("Send commands: build/orvo-udpc 127.0.0.1 ", 0), 0u);
  EXPECT_EQ(joined(lines).find("message 12\n"), std::string::npos);

  // A taller terminal shows more of it.
  lines = draw(sim::ColourMode::none, 100, 40);
  EXPECT_EQ(lines[14], "message 1");

  // A note (the panel's address) takes the rows above the footer, whole.
  const std::string url = "orvo-panel: open http://127.0.0.1:9495/#token=" + std::string(64, 'a');
  state.note = url;
  lines = draw(sim::ColourMode::none);
  EXPECT_EQ(lines[20].substr(0, 23), "param not set correctly");
  EXPECT_EQ(lines[21] + lines[22], url);
  EXPECT_EQ(lines[23].rfind("Send commands: ", 0), 0u);
}

TEST_F(Frame, FitsTheTerminalInEitherMode) {
  state.leds = all({117, 255, 175});
  state.log.assign(30, std::string(200, 'y'));
  state.status = std::string(100, 's');
  state.note = std::string(200, 'n');
  for (const sim::ColourMode mode : {sim::ColourMode::truecolour, sim::ColourMode::none}) {
    for (const auto& [width, height] :
         std::vector<std::pair<int, int>>{{80, 24}, {40, 10}, {132, 50}, {1, 1}}) {
      const std::vector<std::string> lines = draw(mode, width, height);
      ASSERT_EQ(lines.size(), static_cast<size_t>(height));
      for (const std::string& line : lines) EXPECT_LE(sim::visible_width(line), width) << line;
    }
  }
}

TEST_F(Frame, NoColourModeIsPlainAscii) {
  state.leds[0] = {117, 255, 175};  // white
  state.leds[1] = {117, 0, 0};      // red
  state.leds[2] = {0, 0, 175};      // blue
  state.leds[3] = {107, 123, 0};    // the null colour: yellowish
  state.leds[4] = {0, 50, 0};       // dim green
  state.log = {"bind() failed (Address already in use)... exiting\n"};
  const std::vector<std::string> lines = draw(sim::ColourMode::none);
  const std::string text = joined(lines);
  for (const char c : text) {
    EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << static_cast<int>(c);
  }
  for (const char* cell : {" 1W ", " 2R ", " 3B ", " 4Y ", " 5g ", " 6. ", "15. "}) {
    EXPECT_EQ(count(text, cell), 1u) << cell << "\n" << text;
  }
  EXPECT_NE(text.find("bind() failed (Address already in use)... exiting\n"), std::string::npos);
}

TEST(PlainLines, SummariseLedsAndDsp) {
  EXPECT_EQ(sim::leds_line(all({117, 255, 175})), "leds: 1-15 #ffffff");
  sim::LedLevels leds = all({0, 255, 0});
  leds[0] = {0, 0, 175};
  leds[14] = {117, 0, 0};
  EXPECT_EQ(sim::leds_line(leds), "leds: 1 #0000ff, 2-14 #00ff00, 15 #ff0000");

  sim::DspWords w = start_words();
  w[12] = 0x0110;
  w[4] = 2;
  w[13] = 5629;
  EXPECT_EQ(sim::dsp_line(w),
            "dsp: tracking on, noise suppression on, APT off, equalizer off +0 / +0 / +0 dB, "
            "nulled 3, 7 (count 2), mic test idle, result 0, status 0x0000 (0), parameter 13 5629, "
            "parameter 14 0");
  EXPECT_EQ(sim::printable("mailbox error (5)\n"), "mailbox error (5)");
  EXPECT_EQ(sim::printable("a\tb\x1b[2J\r\n"), "a?b?[2J");
}

}  // namespace
