// The lines the panel sends for its pages, checked against the protocol's
// command table before anything goes out: a page may ask for any text, and
// the appliance takes any datagram.
#pragma once

#include <cstddef>
#include <string>

namespace panel {

// The longest line the panel sends. The longest command of the table in its
// longest form (ACTNULCOL with six colour bytes, STSB with its channel and
// "R=100") is well within it.
inline constexpr std::size_t kLineMax = 64;

// "" when the line may be sent, else why not (a sentence for the page): a
// keyword of the table in one of its argument forms, words separated by
// single spaces, no control characters, no more than kLineMax bytes; every
// argument a decimal number within the range the table gives for it, or
// for STS and STSB a component letter, '=' and its value.
std::string line_check(const std::string& line);

}  // namespace panel
