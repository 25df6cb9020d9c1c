// Stand-in for the audio DSP firmware: serves the parameter mailbox that the
// daemon drives through a shared mapping of /dev/mem (or of a plain file of
// the same size in tests).
//
// Mailbox: five little-endian 16-bit words at the start of the window.
//   word 0  busy       daemon writes 0xFFFF to start a request; we clear it
//                      to 0 once words 3 and 4 hold the answer
//   word 1  direction  0 = read parameter, 1 = write parameter
//   word 2  parameter  0..14
//   word 3  value      value to write / value read back
//   word 4  error      0 = success, otherwise an error code
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

inline constexpr long dsp_mailbox_offset = 0x0C000000;
inline constexpr std::size_t dsp_mailbox_size = 4096;
inline constexpr long dsp_mem_file_size = dsp_mailbox_offset + static_cast<long>(dsp_mailbox_size);

inline constexpr unsigned dsp_param_count = 15;
inline constexpr uint16_t dsp_err_bad_param = 0x0016;  // unknown or read-only parameter

// Parameters with a special role in the stand-in.
inline constexpr unsigned dsp_param_mictest = 8;
inline constexpr unsigned dsp_param_mictest_result = 9;
inline constexpr unsigned dsp_param_status = 10;

struct DspStandinConfig {
    unsigned mictest_ms = 2000;     // how long a mic test runs
    uint16_t mictest_result = 0;    // parameter 9 once a test has finished
    uint16_t status = 0;            // parameter 10
    // Called from the serving thread, without any lock held, after every
    // handled request and when a mic test finishes. May call the accessors.
    std::function<void()> on_change;
};

struct DspRequest {
    uint16_t direction;  // 0 read, 1 write
    uint16_t param;
    uint16_t value;      // written value; for reads the value returned
                         // (word 3 as left by the daemon if the read failed)
    uint16_t error;      // word 4 as answered (0 when hung)
    bool hung;           // busy word was never cleared
};

enum class DspFault {
    none,
    error_code,           // answer with the given code, change nothing
    hang,                 // never clear the busy word
    readback_differs,     // writes are stored, reads return stored + 1
    test_never_finishes,  // parameter 8 only: a started test keeps reading 1
};

struct DspStandin;  // opaque

// Creates (or resizes) a sparse file of dsp_mem_file_size bytes.
// Returns 0, or -1 with errno set.
int dsp_standin_make_mem(const char* path);

// Maps the mailbox window of mem_path and starts the serving thread.
// Returns nullptr with errno set on failure.
DspStandin* dsp_standin_start(const char* mem_path, const DspStandinConfig& cfg);

// Stops the serving thread, unmaps and frees. Accepts nullptr.
void dsp_standin_stop(DspStandin* s);

// Parameter accessors, DSP form. Out-of-range parameters read as 0 and are
// ignored on set. Setting parameter 8 ends a running mic test.
uint16_t dsp_standin_value(DspStandin* s, unsigned param);
void dsp_standin_set_value(DspStandin* s, unsigned param, uint16_t value);
std::array<uint16_t, dsp_param_count> dsp_standin_table(DspStandin* s);

// Sets or clears (DspFault::none) the fault of one parameter; takes effect
// from the next request. code is used by DspFault::error_code only.
void dsp_standin_set_fault(DspStandin* s, unsigned param, DspFault fault, uint16_t code = 0);

// Duration and result of mic tests started from now on.
void dsp_standin_set_mictest(DspStandin* s, unsigned ms, uint16_t result);

std::vector<DspRequest> dsp_standin_requests(DspStandin* s);
void dsp_standin_clear_requests(DspStandin* s);
