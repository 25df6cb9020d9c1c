// Constants of the control protocol, shared by the daemon and the client.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvo {

// UDP port of the control protocol (0xC1 0x56 on the wire).
inline constexpr std::uint16_t kControlPort = 49494;

// Request and reply buffers are this large; a receive takes at most one byte
// less, so that the text can always be NUL-terminated.
inline constexpr std::size_t kBufferSize = 2048;
inline constexpr std::size_t kMaxDatagram = kBufferSize - 1;

// A request holds at most this many tokens: the keyword and nine arguments.
// The last token runs to the end of the line.
inline constexpr int kMaxTokens = 10;

// Requests end in a carriage return; so do the daemon's replies.
inline constexpr char kTerminator = '\r';

// The LED state commands address channels 1 to this (0 means all); the last
// one is stored and reported like the others but has no LED.
inline constexpr int kLedStateChannels = 16;

}  // namespace orvo
