// The active and null colours, and applying a null mask to LEDs and DSP.
#pragma once

#include <array>
#include <cstdint>

// Bytes 0-2 null colour (r, g, b), bytes 3-5 active colour.
using NullColours = std::array<std::uint8_t, 6>;

extern NullColours null_colours;

// Loads the colours file: 0; -errno when it cannot be opened; -22 when it
// holds fewer than 6 bytes (those it holds are taken).
int null_colours_load();
// Replaces the colours file: 0; -errno when it cannot be created; -22 when
// it could not be written.
int null_colours_save();
// Paints channels 1-15 in the null or active colour by the mask (bit n =
// channel n), saves and drives the LED state, then stores mask and count in
// the DSP. -22 for more than two bits (nothing changes); else the first
// failure of the LEDs or the DSP, which ends the sequence there; else -1
// when the LED state could not be saved.
int null_mask_apply(int mask);
