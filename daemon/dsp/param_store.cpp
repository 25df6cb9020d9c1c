#include "daemon/dsp/param_store.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "daemon/dsp/mailbox.h"
#include "daemon/system/settings_file.h"
#include "protocol/platform.h"

namespace {

constexpr int kPathSize = 64;

// The DSP's own working values: never kept in a file.
bool is_volatile_param(unsigned param) {
  return param == DSP_MICTEST || param == DSP_MICTEST_RESULT || param == DSP_STATUS;
}

// "<folder>/dspparam<N>" into path; false when it does not fit.
bool param_path(unsigned param, char (&path)[kPathSize]) {
  const int length = snprintf(path, sizeof path, ORVO_DSP_PARAM_PATH, param);
  return length > 0 && length < kPathSize;
}

// Reads exactly 2 bytes from the start of the file; fewer is a failure.
bool read_value(int fd, std::uint8_t (&bytes)[2]) {
  ssize_t got;
  do {
    got = read(fd, bytes, sizeof bytes);
  } while (got < 0 && errno == EINTR);
  return got == static_cast<ssize_t>(sizeof bytes);
}

}  // namespace

int dsp_store(unsigned param, int value) {
  const int result = dsp_set(param, value);
  if (result != 0 || is_volatile_param(param)) {
    return result;
  }
  char path[kPathSize];
  if (!param_path(param, path)) {
    return kResultNotSaved;
  }
  const unsigned bits = static_cast<unsigned>(value);
  const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(bits & 0xFF),
                                 static_cast<std::uint8_t>((bits >> 8) & 0xFF)};
  return settings_file_replace(path, bytes, sizeof bytes);
}

void dsp_restore(unsigned param) {
  char path[kPathSize];
  if (is_volatile_param(param) || !param_path(param, path)) {
    return;
  }
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return;
  }
  std::uint8_t bytes[2];
  const bool complete = read_value(fd, bytes);
  close(fd);
  if (complete) {
    dsp_set(param, bytes[0] | (bytes[1] << 8));
  }
}
