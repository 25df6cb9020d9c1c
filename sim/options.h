// Command line of orvo-sim.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/dsp_standin.h"

namespace sim {

struct ParamFault {
  unsigned param = 0;
  DspFault fault = DspFault::none;
  uint16_t code = 0;  // for DspFault::error_code
};

struct SimOptions {
  bool self_test = true;        // false with "notest"
  unsigned mictest_ms = 2000;   // how long the DSP takes for a mic test
  uint16_t mictest_result = 0;  // what a finished mic test reports (0 = pass)
  uint16_t status = 0;          // the DSP status word
  std::vector<ParamFault> faults;
  std::string state_dir;  // kept settings folder; empty for a fresh one
  std::string note;       // a line to show (the panel's address)
  bool view = true;       // false with --no-view
  bool help = false;
};

extern const char* const kSimUsage;

// nullopt with *error set when the arguments are wrong.
std::optional<SimOptions> parse_sim_options(const std::vector<std::string>& args,
                                            std::string* error);

}  // namespace sim
