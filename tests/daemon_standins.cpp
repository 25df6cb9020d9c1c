#include "tests/daemon_standins.h"

#include <cstring>
#include <vector>

#include "daemon/dsp/mailbox.h"
#include "daemon/led/led_output.h"
#include "daemon/server/command_table.h"
#include "daemon/server/reply.h"
#include "daemon/system/settings_file.h"

std::array<std::uint16_t, kDspParamCount> standin_dsp_words{};
DaemonWrites standin_writes;
int standin_dsp_reads = 0;

// The lowest layer: linked instead of the daemon's own, whose modules for it
// (the mailbox, the LED outputs and the settings files) the test does not
// link. A DSP keeps the words as written and answers every request.

int dsp_get(unsigned param, std::uint16_t* out) {
  if (param >= kDspParamCount) return kResultLogged;
  ++standin_dsp_reads;
  *out = dsp_decode(param, standin_dsp_words[param]);
  return 0;
}

int dsp_set(unsigned param, int value) {
  if (param >= kDspParamCount) return kResultLogged;
  ++standin_writes.dsp;
  const std::uint16_t written = dsp_encode(param, value);
  standin_dsp_words[param] = written;
  // The read-back check of the daemon's mailbox.
  return dsp_encode(param, dsp_decode(param, written)) == written ? 0 : kResultLogged;
}

int led_apply(const LedSetting*) {
  ++standin_writes.leds;
  return 0;
}

int settings_file_replace(const char*, const void*, std::size_t) {
  ++standin_writes.files;
  return 0;
}

DaemonState daemon_state() { return DaemonState{standin_dsp_words, led_state_image, null_colours}; }

void daemon_state_set(const DaemonState& state) {
  standin_dsp_words = state.dsp_words;
  led_state_image = state.leds;
  null_colours = state.colours;
}

std::string daemon_request(const std::string& line) {
  // Split at single spaces, as the request loop does (the lines here have
  // no double spaces and at most its number of tokens).
  std::vector<char> text(line.begin(), line.end());
  text.push_back('\0');
  std::vector<char*> tokens{text.data()};
  for (char* p = text.data(); (p = strchr(p, ' ')) != nullptr;) {
    *p++ = '\0';
    tokens.push_back(p);
  }
  const CommandHandler handler = command_find(tokens[0]);
  if (handler == nullptr || handler(static_cast<int>(tokens.size()), tokens.data()) != 0) {
    return "NACK";
  }
  std::string reply = reply_buffer;
  if (!reply.empty() && reply.back() == '\r') reply.pop_back();
  return reply;
}
