#include "daemon/dsp/mailbox.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "daemon/dsp/param_store.h"
#include "daemon/server/log.h"

namespace {

constexpr std::uint16_t kBusyStart = 0xFFFF;
constexpr std::uint16_t kDirectionRead = 0;
constexpr std::uint16_t kDirectionWrite = 1;
constexpr int kPollLimit = 100;
constexpr useconds_t kPollInterval = 10000;  // microseconds

// Null until the first successful mapping, then kept for the life of the
// process. Every word goes through this volatile view, so each access is one
// 16-bit load or store, in program order, and every poll reads memory anew.
volatile DspMailbox* mailbox;

// The value as a signed 16-bit number, computed without signed overflow.
std::int16_t narrow(unsigned value) { return static_cast<std::int16_t>(static_cast<std::uint16_t>(value)); }

std::uint16_t at_most(std::int16_t value, std::int16_t limit) {
  return static_cast<std::uint16_t>(value > limit ? limit : value);
}

std::uint16_t at_least(std::int16_t value, std::int16_t limit) {
  return static_cast<std::uint16_t>(value < limit ? limit : value);
}

int ensure_mapped() { return mailbox != nullptr ? 0 : dsp_map(); }

}  // namespace

std::uint16_t dsp_encode(unsigned param, int value) {
  const unsigned bits = static_cast<unsigned>(value);
  switch (param) {
    case DSP_NULL_MASK:
      // Channels 1-14 move to bits 2-15, channel 15 goes to bit 1.
      return static_cast<std::uint16_t>(((bits << 1) & 0xFFFF) | ((bits & 0x8000) != 0 ? 0x0002 : 0));
    case DSP_EQ_BAND0:
      return at_most(narrow(bits + 1), 20);
    case DSP_EQ_BAND1:
    case DSP_EQ_BAND2:
      return at_least(narrow(bits - 1), -21);
    default:
      return static_cast<std::uint16_t>(bits);
  }
}

std::uint16_t dsp_decode(unsigned param, std::uint16_t dsp_value) {
  const unsigned bits = dsp_value;
  switch (param) {
    case DSP_NULL_MASK:
      return static_cast<std::uint16_t>(((bits >> 1) & 0x7FFE) | ((bits & 0x0002) != 0 ? 0x8000 : 0));
    case DSP_EQ_BAND0:
      return at_least(narrow(bits - 1), -20);
    case DSP_EQ_BAND1:
    case DSP_EQ_BAND2:
      return at_most(narrow(bits + 1), 20);
    default:
      return dsp_value;
  }
}

int dsp_map() {
  const int fd = open("/dev/mem", O_RDWR | O_SYNC | O_CLOEXEC);
  if (fd < 0) {
    return -errno;
  }
  void* window = mmap(nullptr, kDspWindowSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, kDspWindowAddress);
  if (window == MAP_FAILED) {
    const int error = errno;
    close(fd);
    return -error;
  }
  // The descriptor stays open with the mapping.
  mailbox = static_cast<volatile DspMailbox*>(window);
  return 0;
}

int dsp_transfer() {
  const int mapped = ensure_mapped();
  if (mapped != 0) {
    return mapped;
  }
  mailbox->busy = kBusyStart;
  for (int poll = 0; poll < kPollLimit; ++poll) {
    usleep(kPollInterval);
    if (mailbox->busy == 0) {
      const std::uint16_t error = mailbox->error;
      if (error == 0) {
        return 0;
      }
      log_error(kLogMailboxError, static_cast<int>(error));
      return 1;
    }
  }
  log_error(kLogTransferTimeout);
  return 1;
}

int dsp_get(unsigned param, std::uint16_t* out) {
  const int mapped = ensure_mapped();
  if (mapped != 0) {
    return mapped;
  }
  mailbox->direction = kDirectionRead;
  mailbox->param = static_cast<std::uint16_t>(param);
  const int result = dsp_transfer();
  if (result != 0) {
    return result;
  }
  *out = dsp_decode(param, mailbox->value);
  return 0;
}

int dsp_set(unsigned param, int value) {
  const int mapped = ensure_mapped();
  if (mapped != 0) {
    return mapped;
  }
  const std::uint16_t written = dsp_encode(param, value);
  mailbox->param = static_cast<std::uint16_t>(param);
  mailbox->direction = kDirectionWrite;
  mailbox->value = written;
  int result = dsp_transfer();
  if (result != 0) {
    return result;
  }
  std::uint16_t read_back = 0;
  result = dsp_get(param, &read_back);
  if (result != 0) {
    return result;
  }
  const std::uint16_t encoded_read_back = dsp_encode(param, read_back);
  if (encoded_read_back != written) {
    log_error(kLogParamNotSet, static_cast<unsigned>(encoded_read_back), static_cast<unsigned>(written));
    return 1;
  }
  return 0;
}
