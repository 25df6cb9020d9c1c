#include "daemon/dsp/mailbox.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "daemon/server/log.h"
#include "protocol/platform.h"

namespace {

constexpr int kPollLimit = 100;
constexpr useconds_t kPollInterval = 10000;  // microseconds

// Null until the first successful mapping, then kept for the life of the
// process. Every word goes through this volatile view, so each access is one
// 16-bit load or store, in program order, and every poll reads memory anew.
volatile DspMailbox* mailbox;

// Maps the window from /dev/mem. 0, or -errno (tried again on the next
// access).
int dsp_map() {
  const int fd = open(kPhysicalMemoryPath, O_RDWR | O_SYNC | O_CLOEXEC);
  if (fd < 0) {
    return -errno;
  }
  void* window =
      mmap(nullptr, kDspWindowSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, kDspWindowAddress);
  if (window == MAP_FAILED) {
    const int error = errno;
    close(fd);
    return -error;
  }
  // The descriptor stays open with the mapping.
  mailbox = static_cast<volatile DspMailbox*>(window);
  return 0;
}

int ensure_mapped() { return mailbox != nullptr ? 0 : dsp_map(); }

// Runs one handshake on the words already filled in (the window is mapped):
// 0, or kResultLogged on a DSP error or time-out (logged).
int dsp_transfer() {
  mailbox->busy = kDspBusyStart;
  for (int poll = 0; poll < kPollLimit; ++poll) {
    usleep(kPollInterval);
    if (mailbox->busy == 0) {
      const std::uint16_t error = mailbox->error;
      if (error == 0) {
        return 0;
      }
      log_error(kLogMailboxError, static_cast<int>(error));
      return kResultLogged;
    }
  }
  log_error(kLogTransferTimeout);
  return kResultLogged;
}

}  // namespace

int dsp_get(unsigned param, std::uint16_t* out) {
  const int mapped = ensure_mapped();
  if (mapped != 0) {
    return mapped;
  }
  mailbox->direction = kDspDirectionRead;
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
  mailbox->direction = kDspDirectionWrite;
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
    log_error(kLogParamNotSet, static_cast<unsigned>(encoded_read_back),
              static_cast<unsigned>(written));
    return kResultLogged;
  }
  return 0;
}
