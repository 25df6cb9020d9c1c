#include "sim/options.h"

#include <cerrno>
#include <cstdlib>

namespace sim {

const char* const kSimUsage =
    "usage: orvo-sim [notest] [OPTION]...\n"
    "Runs the appliance on this machine: the real orvo-udpd in its sandbox on UDP\n"
    "port 49494 of this host, a stand-in for the DSP and files for the 15 LEDs, and\n"
    "shows what the LEDs, the DSP and the daemon's log are doing. Send commands from\n"
    "any terminal with: orvo-udpc 127.0.0.1 WORD...   Ctrl-C stops everything.\n"
    "\n"
    "  notest                  start orvo-udpd without its microphone self-test\n"
    "  --mictest-result N      result of every mic test (default 0: passed; any\n"
    "                          other value fails the start-up self-test)\n"
    "  --mictest-ms N          how long the DSP takes for a mic test (default 2000)\n"
    "  --status N              the DSP status word (default 0)\n"
    "  --fault P:error=CODE    DSP parameter P (0-14) answers with error CODE\n"
    "  --fault P:hang          DSP parameter P never answers\n"
    "  --fault P:readback      DSP parameter P reads back other than written\n"
    "  --fault 8:never         a started mic test never finishes\n"
    "  --state DIR             keep the appliance's settings in DIR (made when\n"
    "                          missing) so that the next run starts from them\n"
    "  --note TEXT             a line the view shows above its last (./run.sh:\n"
    "                          the panel's address)\n"
    "  --no-view               no live view: print changes as plain lines (for\n"
    "                          scripts; also what happens when output is no terminal)\n"
    "  -h, --help              show this text\n"
    "Numbers are decimal or 0x hexadecimal. In the live view, q stops it too.\n";

namespace {

bool parse_number(const std::string& text, unsigned long max, unsigned long* out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long value = strtoul(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || value > max) return false;
  *out = value;
  return true;
}

bool parse_fault(const std::string& text, ParamFault* fault) {
  const size_t colon = text.find(':');
  unsigned long param = 0;
  if (colon == std::string::npos ||
      !parse_number(text.substr(0, colon), kDspParamCount - 1, &param)) {
    return false;
  }
  const std::string kind = text.substr(colon + 1);
  *fault = ParamFault{static_cast<unsigned>(param), DspFault::none, 0};
  unsigned long code = 0;
  if (kind == "hang") {
    fault->fault = DspFault::hang;
  } else if (kind == "readback") {
    fault->fault = DspFault::readback_differs;
  } else if (kind == "never" && param == DSP_MICTEST) {
    fault->fault = DspFault::test_never_finishes;
  } else if (kind.starts_with("error=") && parse_number(kind.substr(6), 0xFFFF, &code) &&
             code != 0) {
    fault->fault = DspFault::error_code;
    fault->code = static_cast<uint16_t>(code);
  } else {
    return false;
  }
  return true;
}

}  // namespace

std::optional<SimOptions> parse_sim_options(const std::vector<std::string>& args,
                                            std::string* error) {
  SimOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    if (name == "notest") {
      options.self_test = false;
      continue;
    }
    if (name == "-h" || name == "--help") {
      options.help = true;
      continue;
    }
    if (name == "--no-view") {
      options.view = false;
      continue;
    }
    // The others take a value, as the next word or after '='.
    std::string value;
    bool has_value = false;
    if (const size_t equals = name.find('=');
        name.starts_with("--") && equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
      has_value = true;
    }
    const bool known = name == "--mictest-result" || name == "--mictest-ms" || name == "--status" ||
                       name == "--fault" || name == "--state" || name == "--note";
    if (!known) {
      *error = "unknown argument '" + args[i] + "'";
      return std::nullopt;
    }
    if (!has_value) {
      if (i + 1 >= args.size()) {
        *error = name + " needs a value";
        return std::nullopt;
      }
      value = args[++i];
    }
    unsigned long number = 0;
    bool good = true;
    if (name == "--mictest-result") {
      good = parse_number(value, 0xFFFF, &number);
      options.mictest_result = static_cast<uint16_t>(number);
    } else if (name == "--mictest-ms") {
      good = parse_number(value, 600000, &number);
      options.mictest_ms = static_cast<unsigned>(number);
    } else if (name == "--status") {
      good = parse_number(value, 0xFFFF, &number);
      options.status = static_cast<uint16_t>(number);
    } else if (name == "--fault") {
      ParamFault fault;
      good = parse_fault(value, &fault);
      options.faults.push_back(fault);
    } else if (name == "--note") {
      options.note = value;
    } else {
      good = !value.empty();
      options.state_dir = value;
    }
    if (!good) {
      *error = "bad value '" + value + "' for " + name;
      return std::nullopt;
    }
  }
  return options;
}

}  // namespace sim
