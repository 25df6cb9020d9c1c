// Stand-in for the audio DSP firmware: serves the parameter mailbox that the
// daemon drives through a shared mapping of /dev/mem (in the sandbox a plain
// file of kDspMemFileSize bytes). The mailbox itself is protocol/dsp_mailbox.h.
//
// What the daemon relies on holds here too: a request is carried out when
// the busy word becomes 0xFFFF, answered in the value and error words, and
// the busy word is cleared last; a read straight after a write returns the
// value written. That includes the mic test (parameter 8): it reads back 1 at
// least once after it was started, however short the test, and 0 once the
// test has finished.
//
// One thread serves every stand-in of the process; it looks at each mailbox
// every poll interval and sleeps in between, so idle stand-ins cost next to
// nothing.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

#include "protocol/dsp_mailbox.h"

// The error code answered for an unknown or read-only parameter.
inline constexpr std::uint16_t kDspStandinBadParam = 0x0016;

// The daemon looks for its answer 10 ms after asking, then every 10 ms: an
// answer within a few milliseconds costs it nothing.
inline constexpr std::chrono::microseconds kDspStandinPollInterval{4000};

struct DspStandinConfig {
  unsigned mictest_ms = 2000;        // how long a mic test runs
  std::uint16_t mictest_result = 0;  // parameter 9 once a test has finished
  std::uint16_t status = 0;          // parameter 10
  // How often the mailbox is looked at (the shortest of all stand-ins of
  // the process applies to all).
  std::chrono::microseconds poll_interval = kDspStandinPollInterval;
};

struct DspRequest {
  std::uint16_t direction;  // 0 read, 1 write
  std::uint16_t param;
  std::uint16_t value;  // written value; for reads the value returned
                        // (the value word as the daemon left it if the read failed)
  std::uint16_t error;  // error word as answered (0 when hung)
  bool hung;            // the busy word was never cleared
};

enum class DspFault {
  none,
  error_code,           // answer with the given code, change nothing
  hang,                 // never clear the busy word
  readback_differs,     // writes are stored, reads return stored + 1
  test_never_finishes,  // parameter 8 only: a started test keeps reading 1
};

struct DspStandin;  // opaque

// Creates (or resizes) a sparse file of kDspMemFileSize bytes. 0, or -1 with
// errno set.
int dsp_standin_make_mem(const char* path);

// Maps the mailbox window of mem_path and starts serving it. nullptr with
// errno set on failure.
DspStandin* dsp_standin_start(const char* mem_path, const DspStandinConfig& config);

// Stops serving, unmaps and frees. Accepts nullptr.
void dsp_standin_stop(DspStandin* dsp);

// Parameter accessors, DSP form. Out-of-range parameters read as 0 and are
// ignored on set. Setting parameter 8 ends a running mic test.
std::uint16_t dsp_standin_value(DspStandin* dsp, unsigned param);
void dsp_standin_set_value(DspStandin* dsp, unsigned param, std::uint16_t value);
std::array<std::uint16_t, kDspParamCount> dsp_standin_table(DspStandin* dsp);

// Sets or clears (DspFault::none) the fault of one parameter; takes effect
// from the next request. code is used by DspFault::error_code only.
void dsp_standin_set_fault(DspStandin* dsp, unsigned param, DspFault fault, std::uint16_t code = 0);

// Duration and result of mic tests started from now on.
void dsp_standin_set_mictest(DspStandin* dsp, unsigned ms, std::uint16_t result);

// Every request served so far, oldest first.
std::vector<DspRequest> dsp_standin_requests(DspStandin* dsp);
void dsp_standin_clear_requests(DspStandin* dsp);
