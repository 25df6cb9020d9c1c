// Fuzz target over the panel's check of a line that a page asks it to send
// (panel/lines.h): any input, under AddressSanitizer and
// UndefinedBehaviorSanitizer. Beside the sanitizers it checks what the
// panel relies on when it sends a line it took:
//   - the line is short, printable ASCII, with single spaces between words;
//   - its keyword is in the command table, in one of the row's forms;
//   - a line that sets something is one that the settings model takes as
//     such (the rules of the line check and of the model agree).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "client/settings.h"
#include "panel/lines.h"
#include "protocol/commands.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& line) {
  fprintf(stderr, "line_fuzzer: %s: '%s'\n", what, line.c_str());
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  if (!panel::line_check(line).empty()) return 0;
  if (line.empty() || line.size() > panel::kLineMax) fail("a line empty or too long", line);
  for (const char c : line) {
    if (c < ' ' || c > '~') fail("a line with a control character or not ASCII", line);
  }
  if (line.front() == ' ' || line.back() == ' ' || line.find("  ") != std::string::npos)
    fail("a line not split by single spaces", line);
  int count = 0;
  const orvo::Command* row = orvo::line_row(line.c_str(), &count);
  if (row == nullptr || (row->forms & orvo::arguments(count)) == 0)
    fail("a line that is no form of a command", line);
  if (orvo::command_sets(*row, count)) {
    ApplianceSettings settings{};
    SettingsNamed named = 0;
    if (!settings_apply(&settings, line.c_str(), &named) || named == 0)
      fail("a setting that the settings model refuses", line);
  }
  return 0;
}
