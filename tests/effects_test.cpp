// The identify blink and the two shows, watched in the brightness files.

#include <algorithm>
#include <future>
#include <map>

#include "tests/appliance.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kWhite = "117 255 175";
const std::string kDark = "0 0 0";
// What "SRGB 0 10 20 30" puts on every LED.
const std::string kStored = "4 20 20";

// The colours each watched LED went through, one entry per change.
using Shown = std::map<int, std::vector<std::string>>;

struct Watched {
  std::string reply;
  std::chrono::milliseconds elapsed{0};
  Shown shown;
};

int phases(const std::vector<std::string>& colours, const std::string& colour) {
  return static_cast<int>(std::count(colours.begin(), colours.end(), colour));
}

bool showed(const std::vector<std::string>& colours, const std::string& colour) {
  return phases(colours, colour) > 0;
}

class EffectsAppliance : public StartedAppliance {
 protected:
  void sample(const std::vector<int>& leds, Shown* shown) const {
    for (const int led : leds) {
      std::vector<std::string>& seen = (*shown)[led];
      const std::string colour = led_colour(led);
      // A brightness file is truncated before it is written: an empty one is
      // caught in the middle of a write.
      const bool whole =
          colour.front() != ' ' && colour.back() != ' ' && colour.find("  ") == std::string::npos;
      if (whole && (seen.empty() || seen.back() != colour)) seen.push_back(colour);
    }
  }

  // Watches the LEDs for a while.
  Shown watch_for(std::chrono::milliseconds span, const std::vector<int>& leds) const {
    Shown shown;
    const auto end = Clock::now() + span;
    while (Clock::now() < end) {
      sample(leds, &shown);
      std::this_thread::sleep_for(5ms);
    }
    return shown;
  }

  // Sends a request and watches the LEDs until its reply is in.
  Watched watch_request(const std::string& request, const std::vector<int>& leds) const {
    Watched watched;
    sample(leds, &watched.shown);
    const auto begin = Clock::now();
    std::future<std::optional<std::string>> pending =
        std::async(std::launch::async, [this, request] { return box->request(request, 30s); });
    do {
      sample(leds, &watched.shown);
    } while (pending.wait_for(5ms) != std::future_status::ready);
    watched.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
    watched.reply = pending.get().value_or("<no reply>");
    sample(leds, &watched.shown);
    return watched;
  }

  bool wait_for_colour(int led, const std::string& colour,
                       std::chrono::milliseconds timeout) const {
    const auto end = Clock::now() + timeout;
    while (Clock::now() < end) {
      if (led_colour(led) == colour) return true;
      std::this_thread::sleep_for(2ms);
    }
    return false;
  }
};

using Identify = EffectsAppliance;
using ShowEffects = EffectsAppliance;

TEST_F(Identify, RefusesAnythingButZeroOrOne) {
  expect_refused({"ID 2\r", "ID 10\r", "ID 01\r", "ID\r", "ID 1 1\r", "ID -0\r"});
}

TEST_F(Identify, IdZeroWhileOffShowsTheStoredStateAgain) {
  fill_leds("9");
  EXPECT_EQ(ask("ID 0\r"), "ACK ID 0\r");
  EXPECT_EQ(led_colours(), every_led("0 255 0"));
  EXPECT_EQ(watch_for(1500ms, {1})[1], std::vector<std::string>{"0 255 0"}) << "no blinking";
}

TEST_F(Identify, BlinksWhiteAndDarkAboutOnceASecondAndLeavesTheStateAlone) {
  EXPECT_EQ(ask("ID 1\r"), "ACK ID 1\r");
  EXPECT_EQ(ask("ID 1\r"), "ACK ID 1\r");
  const Shown shown = watch_for(5s, {1, 15});
  for (const int led : {1, 15}) {
    // Five cycles in five seconds; the bounds leave room for a loaded host.
    EXPECT_GE(phases(shown.at(led), kWhite), 3) << "LED " << led;
    EXPECT_LE(phases(shown.at(led), kWhite), 7) << "LED " << led;
    EXPECT_GE(phases(shown.at(led), kDark), 3) << "LED " << led;
  }
  EXPECT_EQ(ask("GRGB 1\r"), "ACK GRGB 2 CH1 0 255 0\r") << "the blink leaves the state alone";
  EXPECT_EQ(ask("ID 0\r"), "ACK ID 0\r");
  EXPECT_EQ(led_colours(), every_led("0 255 0"));
}

TEST_F(Identify, IdZeroWaitsForTheRunningCycleAndTheStoredStateStays) {
  ASSERT_EQ(ask("SRGB 0 10 20 30\r"), "ACK SRGB 0 10 20 30\r");
  // The blink thread asks for its mutex again right after each cycle; a
  // waiting ID must get it first, every time.
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(ask("ID 1\r"), "ACK ID 1\r");
    ASSERT_TRUE(wait_for_colour(1, kWhite, 5s)) << "no blink cycle started";
    // Sent in the white phase: the cycle goes dark before the answer comes,
    // and no further white phase shows.
    const Watched off = watch_request("ID 0\r", {1});
    EXPECT_EQ(off.reply, "ACK ID 0\r");
    EXPECT_TRUE(showed(off.shown.at(1), kDark)) << "answered before the cycle ended";
    EXPECT_LE(phases(off.shown.at(1), kWhite), 1) << "ID 0 sat out a further cycle";
    EXPECT_EQ(led_colours(), every_led(kStored));
  }
  const Shown after = watch_for(2500ms, {1, 15});
  EXPECT_EQ(after.at(1), std::vector<std::string>{kStored}) << "a blink cycle began after ID 0";
  EXPECT_EQ(after.at(15), std::vector<std::string>{kStored});
}

TEST_F(ShowEffects, FuFlashesWhiteSevenTimesAndReturnsToTheStoredState) {
  ASSERT_EQ(ask("SRGB 0 10 20 30\r"), "ACK SRGB 0 10 20 30\r");
  const Watched fu = watch_request("FU\r", {1, 8});
  EXPECT_EQ(fu.reply, "ACK FU\r");
  for (const int led : {1, 8}) {
    const std::vector<std::string>& shown = fu.shown.at(led);
    EXPECT_GE(phases(shown, kWhite), 5) << "LED " << led;
    EXPECT_LE(phases(shown, kWhite), 7) << "LED " << led;
    EXPECT_GE(phases(shown, kDark), 5) << "LED " << led;
    EXPECT_EQ(shown.front(), kStored);
    EXPECT_EQ(shown.back(), kStored);
  }
  EXPECT_GE(fu.elapsed, 4500ms) << "fifteen phases of a third of a second";
  EXPECT_EQ(led_colours(), every_led(kStored));
}

TEST_F(ShowEffects, ImpressChasesColoursAndLeavesTheLedsDarkUntilTheNextChange) {
  ASSERT_EQ(ask("SRGB 0 10 20 30\r"), "ACK SRGB 0 10 20 30\r");
  const Watched show = watch_request("IMPRESS\r", {12, 14});
  EXPECT_EQ(show.reply, "ACK IMPRESS\r");
  // Step 43 gives LED 14 (0, 43, 1); step 86 gives LED 12 (1, 0, 43).
  EXPECT_TRUE(showed(show.shown.at(14), "0 43 0"));
  EXPECT_TRUE(showed(show.shown.at(12), "0 0 29"));
  EXPECT_GE(show.elapsed, 5500ms) << "120 steps of 50 ms";

  EXPECT_EQ(led_colours(), every_led(kDark));
  EXPECT_EQ(ask("GRGB 9\r"), "ACK GRGB 2 CH9 10 20 30\r") << "the stored state is untouched";
  EXPECT_EQ(led_colours(), every_led(kDark)) << "reports drive nothing";
  EXPECT_EQ(ask("STS 1 R=1\r"), "ACK STS 1 R=1\r");
  EXPECT_EQ(led_colours(), every_led(kStored)) << "the next change re-drives every channel";
}

}  // namespace
