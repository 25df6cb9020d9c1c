// A JSON string literal of any bytes (stands in for the HTTP layer's until
// that lands): quoted, control characters escaped, invalid UTF-8 as U+FFFD.
#pragma once

#include <cstdio>
#include <string>

namespace panel {

inline std::string json_string(const std::string& text) {
  std::string out = "\"";
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c < 0x20 || c == 0x7F) {
        char escape[8];
        snprintf(escape, sizeof escape, "\\u%04x", c);
        out += escape;
      } else {
        out += static_cast<char>(c);
      }
      ++p;
      continue;
    }
    // The length of a well-formed sequence that starts here, or 0.
    int length = c >= 0xC2 && c <= 0xDF   ? 2
                 : c >= 0xE0 && c <= 0xEF ? 3
                 : c >= 0xF0 && c <= 0xF4 ? 4
                                          : 0;
    if (length > end - p) length = 0;
    for (int i = 1; i < length; ++i) {
      unsigned char low = 0x80, high = 0xBF;
      if (i == 1 && c == 0xE0) low = 0xA0;
      if (i == 1 && c == 0xED) high = 0x9F;
      if (i == 1 && c == 0xF0) low = 0x90;
      if (i == 1 && c == 0xF4) high = 0x8F;
      if (p[i] < low || p[i] > high) length = 0;
    }
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++p;
    } else {
      out.append(reinterpret_cast<const char*>(p), static_cast<size_t>(length));
      p += length;
    }
  }
  return out + "\"";
}

}  // namespace panel
