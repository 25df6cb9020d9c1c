#include "panel/lines.h"

#include <cstring>

#include "client/exchange.h"
#include "protocol/arguments.h"
#include "protocol/commands.h"

namespace panel {

namespace {

// What an argument may be: a number from min to max (a multiple of step),
// or a component letter, '=' and such a number (STS, STSB).
struct Argument {
  long min;
  long max;
  long step = 1;
  bool component = false;
};

constexpr long kChannels = orvo::kLedStateChannels;
constexpr long kByte = 255;
constexpr Argument kChannel{0, kChannels};
constexpr Argument kLevel{0, kByte};
constexpr Argument kOnOff{0, 1};

// The arguments of a keyword in the form with count of them; false when the
// table lets it take none.
bool arguments_of(const char* keyword, int count, Argument* arguments) {
  const auto is = [keyword](const char* name) { return strcmp(keyword, name) == 0; };
  for (int i = 0; i < count; ++i) arguments[i] = kLevel;
  if (is("ID") || is("TRACKING") || is("NOISESUP") || is("NOISERED")) {
    arguments[0] = kOnOff;
  } else if (is("APT")) {
    arguments[0] = Argument{0, orvo::kAptModes};
  } else if (is("EQ")) {
    arguments[0] = Argument{0, orvo::kEqBands - 1};
    arguments[1] = Argument{orvo::kEqGainMin, orvo::kEqGainMax};
  } else if (is("NULL")) {
    // NULL 0 clears; two channels are both real ones.
    for (int i = 0; i < count; ++i)
      arguments[i] = Argument{count == 1 ? 0 : orvo::kFirstNullChannel, orvo::kLastNullChannel};
  } else if (is("NULLMASK")) {
    arguments[0] = Argument{0, (1L << (orvo::kLastNullChannel + 1)) - 1, 2};
  } else if (is("STS")) {
    arguments[0] = kChannel;
    arguments[1] = Argument{0, 1, 1, true};
  } else if (is("STSB")) {
    arguments[0] = kChannel;
    arguments[1] = Argument{0, orvo::kPercentFull, orvo::kPercentStep, true};
  } else if (is("GTS") || is("GTSB") || is("GRGB") || is("SRGB")) {
    arguments[0] = kChannel;
  } else if (!is("ACTNULCOL")) {
    return count == 0;  // the others take no arguments
  }
  return true;
}

// A decimal number as the daemon reads it, written plainly: an optional
// minus and at most six digits, without leading zeros ("0", not "00" or
// "-0": ID and STS take exactly "0" and "1"), nothing else.
bool number_read(const char* text, size_t length, long* value) {
  size_t i = length > 0 && text[0] == '-' ? 1 : 0;
  if (length <= i || length - i > 6) return false;
  if (text[i] == '0' && (length - i > 1 || i == 1)) return false;
  for (size_t j = i; j < length; ++j) {
    if (text[j] < '0' || text[j] > '9') return false;
  }
  char copy[8];
  memcpy(copy, text, length);
  copy[length] = '\0';
  *value = argument_number(copy);
  return true;
}

int bit_count(long value) {
  int count = 0;
  for (; value != 0; value &= value - 1) ++count;
  return count;
}

}  // namespace

std::string line_check(const std::string& line) {
  if (line.empty()) return "the line is empty";
  if (line.size() > kLineMax)
    return "the line is longer than " + std::to_string(kLineMax) + " bytes";
  for (const char c : line) {
    if (c < ' ' || c > '~') return "the line holds a control character or a byte outside ASCII";
  }
  if (line.front() == ' ' || line.back() == ' ' || line.find("  ") != std::string::npos)
    return "the words of a line are separated by single spaces";
  Token tokens[kMaxLineTokens];
  const int words = tokens_split(line.data(), line.size(), tokens);
  const orvo::Command* row = orvo::command_row(tokens[0].text, tokens[0].length);
  const std::string keyword(tokens[0].text, tokens[0].length);
  if (row == nullptr) return "'" + keyword + "' is not a command";
  const int count = words - 1;
  Argument arguments[kMaxLineTokens];
  if (count >= orvo::kMaxTokens || (row->forms & orvo::arguments(count)) == 0 ||
      !arguments_of(row->keyword, count, arguments)) {
    return keyword + " does not take " + std::to_string(count) + " argument" +
           (count == 1 ? "" : "s");
  }
  for (int i = 0; i < count; ++i) {
    const Token& word = tokens[1 + i];
    const Argument& argument = arguments[i];
    const std::string which = keyword + "'s argument " + std::to_string(i + 1);
    size_t skip = 0;
    if (argument.component) {
      if (word.length < 2 || strchr(orvo::kComponentLetters, word.text[0]) == nullptr ||
          word.text[1] != '=')
        return which + " is a component (R, G or B), '=' and a value";
      skip = 2;
    }
    long value = 0;
    if (!number_read(word.text + skip, word.length - skip, &value))
      return which + " is not a number";
    if (value < argument.min || value > argument.max || value % argument.step != 0) {
      return which + " is outside " + std::to_string(argument.min) + ".." +
             std::to_string(argument.max) +
             (argument.step > 1 ? " in steps of " + std::to_string(argument.step) : "");
    }
  }
  if (strcmp(row->keyword, "NULLMASK") == 0 && count == 1) {
    long mask = 0;
    number_read(tokens[1].text, tokens[1].length, &mask);
    if (bit_count(mask) > orvo::kMaxNulledChannels)
      return "at most " + std::to_string(orvo::kMaxNulledChannels) + " channels can be nulled";
  }
  return "";
}

}  // namespace panel
