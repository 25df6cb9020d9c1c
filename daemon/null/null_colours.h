// The active and null colours, and applying a null mask to LEDs and DSP.
#pragma once

#include <array>
#include <cstdint>

#include "protocol/commands.h"

// In the protocol's layout (protocol/commands.h): bytes 0-2 null colour
// (r, g, b), bytes 3-5 active colour.
using NullColours = std::array<std::uint8_t, orvo::kColourBytes>;

// The colours at start and after DEFAULTS.
inline constexpr NullColours kFactoryNullColours{234, 123, 0, 0, 255, 0};

extern NullColours null_colours;

// Loads the colours file, if there is one; a short file replaces only the
// bytes it holds.
void null_colours_load();
// Replaces the colours file: 0 or settings_file_replace's failure.
int null_colours_save();
// Whether a mask can be applied: at most two bits set.
bool null_mask_valid(int mask);
// Paints channels 1-15 in the null or active colour by the mask (bit n =
// channel n), saves and drives the LED state, then stores mask and count in
// the DSP. -22 for more than two bits (nothing changes); else the first
// failure of the LEDs or the DSP, which ends the sequence there; else
// kResultNotSaved when the LED state could not be saved.
int null_mask_apply(int mask);
