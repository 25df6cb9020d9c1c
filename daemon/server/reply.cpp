#include "daemon/server/reply.h"

#include <cstdarg>
#include <cstdint>

char reply_buffer[orvo::kBufferSize];

namespace {

// Writes the decimal digits of value from out on, as far as end; returns
// where it stopped.
char* put_unsigned(char* out, const char* end, unsigned value) {
  char digits[10];
  int count = 0;
  do {
    // value / 10 as a multiplication, exact for every 32-bit value: the
    // appliance's CPU has no divide instruction, and at -Os g++ calls the
    // runtime's division routine even for a constant divisor, which links
    // its 600 bytes into the daemon.
    const unsigned tenth =
        static_cast<unsigned>((static_cast<std::uint64_t>(value) * 0xCCCCCCCDu) >> 35);
    digits[count++] = static_cast<char>('0' + (value - tenth * 10));
    value = tenth;
  } while (value != 0);
  while (count > 0 && out < end) {
    *out++ = digits[--count];
  }
  return out;
}

}  // namespace

std::size_t reply_format(std::size_t at, const char* format, ...) {
  char* out = reply_buffer + at;
  const char* const end = reply_buffer + sizeof reply_buffer - 1;
  va_list values;
  va_start(values, format);
  for (const char* f = format; *f != '\0' && out < end; ++f) {
    if (*f != '%' || *++f == '%') {
      *out++ = *f;
    } else if (*f == 's') {
      for (const char* text = va_arg(values, const char*); *text != '\0' && out < end;) {
        *out++ = *text++;
      }
    } else if (*f == 'u') {
      out = put_unsigned(out, end, va_arg(values, unsigned));
    } else {  // 'd'
      const int value = va_arg(values, int);
      if (value < 0) {
        *out++ = '-';
      }
      out = put_unsigned(
          out, end, value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value));
    }
  }
  va_end(values);
  *out = '\0';
  return static_cast<std::size_t>(out - reply_buffer);
}
