// The daemon's modules in-process, on stand-ins for its lowest layer: the DSP
// mailbox, the LED outputs and the settings files. The handlers above them
// are the daemon's own, and what they leave behind can be looked at and put
// back: the DSP's words, the LED state image and the null colours.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "daemon/led/led_state.h"
#include "daemon/null/null_colours.h"
#include "protocol/dsp_mailbox.h"

// The DSP's words, as the real one keeps them (in its own form), and how many
// times the handlers wrote to the DSP, the LEDs and the settings files.
struct DaemonState {
  std::array<std::uint16_t, kDspParamCount> dsp_words{};
  LedStateImage leds{};
  NullColours colours{};
  bool operator==(const DaemonState&) const = default;
};
struct DaemonWrites {
  int dsp = 0;
  int leds = 0;
  int files = 0;
};
extern std::array<std::uint16_t, kDspParamCount> standin_dsp_words;
extern DaemonWrites standin_writes;
// The DSP reads since the test last set it to 0.
extern int standin_dsp_reads;

DaemonState daemon_state();
void daemon_state_set(const DaemonState& state);

// The reply of the daemon's handler for a request line (without the CR): its
// acknowledgement, or "NACK" when it failed.
std::string daemon_request(const std::string& line);
