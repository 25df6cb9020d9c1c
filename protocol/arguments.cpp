#include "protocol/arguments.h"

#include <cstdlib>

std::int32_t argument_number(const char* text) {
  // strtoll then saturate: exactly what a 32-bit strtol gives, on any build.
  const long long value = strtoll(text, nullptr, 10);
  if (value > INT32_MAX) {
    return INT32_MAX;
  }
  if (value < INT32_MIN) {
    return INT32_MIN;
  }
  return static_cast<std::int32_t>(value);
}
