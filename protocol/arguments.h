// Numeric command arguments, read as the daemon reads them: the daemon
// itself, and the client's model of what a command does.
#pragma once

#include <cstdint>

// Decimal number with strtol semantics (optional sign, digits, stops at the
// first other character, no digits reads 0), saturated to the 32-bit range
// of the appliance's long whatever the width of long on this build.
std::int32_t argument_number(const char* text);
