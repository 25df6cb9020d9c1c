#include "sim/dsp_standin.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <sys/mman.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Written into the busy word when we decide to hang on a request. The daemon
// treats any non-zero busy word as "still working", so it keeps waiting just
// as if we had left 0xFFFF there; but because the word no longer reads
// 0xFFFF, the daemon's next request (which stores 0xFFFF again) is visible to
// us and gets served normally.
constexpr std::uint16_t kBusyHung = 0xFFFE;

// What the DSP holds after power-on (the status word comes from the config).
constexpr std::array<std::uint16_t, kDspParamCount> kPowerOnTable = {
    1, 1, 0, 0, 0, 1, 0xFFFF, 0xFFFF, 0, 0, 0, 0, 0, 0, 0};

// The mailbox words are little-endian.
constexpr std::uint16_t little_endian(std::uint16_t value) {
  if constexpr (std::endian::native == std::endian::big) {
    return static_cast<std::uint16_t>((value >> 8) | (value << 8));
  }
  return value;
}

// One 16-bit word of the window, shared with the daemon's mapping.
std::atomic_ref<std::uint16_t> word(std::uint16_t& value) {
  return std::atomic_ref<std::uint16_t>(value);
}

struct Fault {
  DspFault kind = DspFault::none;
  std::uint16_t code = 0;
};

}  // namespace

struct DspStandin {
  DspMailbox* mailbox = nullptr;  // the start of the mapped window
  std::chrono::microseconds poll_interval{};

  std::mutex mutex;  // guards everything below
  std::array<std::uint16_t, kDspParamCount> table = kPowerOnTable;
  std::array<Fault, kDspParamCount> faults{};
  std::vector<DspRequest> requests;
  unsigned mictest_ms = 0;
  std::uint16_t mictest_result = 0;
  bool test_running = false;
  bool test_read_back = false;  // the running test has been read back once
  Clock::time_point test_deadline;
  std::uint16_t test_result = 0;  // result of the running test

  // Caller holds mutex. A test finishes once its time is up, but never
  // before the read that verifies its start.
  void finish_test_if_due(Clock::time_point now) {
    if (!test_running || !test_read_back ||
        faults[DSP_MICTEST].kind == DspFault::test_never_finishes || now < test_deadline) {
      return;
    }
    test_running = false;
    table[DSP_MICTEST] = 0;
    table[DSP_MICTEST_RESULT] = test_result;
  }

  // Caller holds mutex. Carries out one request against the table.
  DspRequest execute(std::uint16_t direction, std::uint16_t param, std::uint16_t value) {
    DspRequest request{direction, param, value, 0, false};
    if (param >= kDspParamCount || direction > kDspDirectionWrite) {
      request.error = kDspStandinBadParam;
      return request;
    }
    const Fault& fault = faults[param];
    if (fault.kind == DspFault::hang) {
      request.hung = true;
      return request;
    }
    if (fault.kind == DspFault::error_code) {
      request.error = fault.code;
      return request;
    }
    if (direction == kDspDirectionRead) {
      request.value = table[param];
      if (fault.kind == DspFault::readback_differs) {
        request.value = static_cast<std::uint16_t>(request.value + 1);
      }
      if (param == DSP_MICTEST) {
        test_read_back = true;
      }
      return request;
    }
    if (param == DSP_MICTEST_RESULT || param == DSP_STATUS) {
      request.error = kDspStandinBadParam;
      return request;
    }
    table[param] = value;
    if (param == DSP_MICTEST) {
      test_running = value == 1;
      test_read_back = false;
      if (test_running) {
        test_deadline = Clock::now() + std::chrono::milliseconds(mictest_ms);
        test_result = mictest_result;
      }
    }
    return request;
  }

  // Serves the request waiting in the mailbox, if there is one.
  void poll() {
    if (word(mailbox->busy).load(std::memory_order_acquire) != kDspBusyStart) {
      return;
    }
    const std::uint16_t direction =
        little_endian(word(mailbox->direction).load(std::memory_order_relaxed));
    const std::uint16_t param = little_endian(word(mailbox->param).load(std::memory_order_relaxed));
    const std::uint16_t value = little_endian(word(mailbox->value).load(std::memory_order_relaxed));
    DspRequest request;
    {
      std::lock_guard lock(mutex);
      finish_test_if_due(Clock::now());
      request = execute(direction, param, value);
      requests.push_back(request);
    }
    if (request.hung) {
      // Only replace our own view of the request; should the daemon have
      // given up and already stored a fresh 0xFFFF, that is the same value
      // and we would simply hang on its new request instead.
      std::uint16_t expected = kDspBusyStart;
      word(mailbox->busy).compare_exchange_strong(expected, kBusyHung, std::memory_order_relaxed);
      return;
    }
    if (direction == kDspDirectionRead && request.error == 0) {
      word(mailbox->value).store(little_endian(request.value), std::memory_order_relaxed);
    }
    word(mailbox->error).store(little_endian(request.error), std::memory_order_relaxed);
    // Release: the answer words above are visible before busy reads 0.
    word(mailbox->busy).store(0, std::memory_order_release);
  }
};

namespace {

// The one thread that serves every stand-in of this process: it looks at
// each mailbox in turn, then sleeps for the shortest poll interval; with no
// stand-in it sleeps until one comes.
struct Server {
  std::mutex mutex;  // guards everything below; held while serving
  std::condition_variable changed;
  std::vector<DspStandin*> standins;
  bool running = false;

  void run() {
    std::unique_lock lock(mutex);
    for (;;) {
      if (standins.empty()) {
        changed.wait(lock);
        continue;
      }
      std::chrono::microseconds interval = standins.front()->poll_interval;
      for (DspStandin* dsp : standins) {
        dsp->poll();
        interval = std::min(interval, dsp->poll_interval);
      }
      changed.wait_for(lock, interval);
    }
  }
};

// Never destroyed: its thread lives as long as the process.
Server& server() {
  static Server* const instance = new Server;
  return *instance;
}

bool serve(DspStandin* dsp) {
  Server& shared = server();
  std::lock_guard lock(shared.mutex);
  if (!shared.running) {
    try {
      std::thread([&shared] { shared.run(); }).detach();
    } catch (const std::system_error&) {
      return false;
    }
    shared.running = true;
  }
  shared.standins.push_back(dsp);
  shared.changed.notify_one();
  return true;
}

// Once this returns, the serving thread no longer touches dsp.
void unserve(DspStandin* dsp) {
  Server& shared = server();
  std::lock_guard lock(shared.mutex);
  std::erase(shared.standins, dsp);
}

}  // namespace

int dsp_standin_make_mem(const char* path) {
  const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    return -1;
  }
  if (ftruncate(fd, kDspMemFileSize) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return close(fd);
}

DspStandin* dsp_standin_start(const char* mem_path, const DspStandinConfig& config) {
  const int fd = open(mem_path, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    return nullptr;
  }
  struct stat file {};
  // A plain file too short for the window would map fine and then fault on
  // first access; refuse it up front. Device nodes report size 0.
  if (fstat(fd, &file) != 0 || (S_ISREG(file.st_mode) && file.st_size < kDspMemFileSize)) {
    const int error = errno;
    close(fd);
    errno = S_ISREG(file.st_mode) ? EINVAL : error;
    return nullptr;
  }
  void* window =
      mmap(nullptr, kDspWindowSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, kDspWindowAddress);
  const int error = errno;
  close(fd);
  if (window == MAP_FAILED) {
    errno = error;
    return nullptr;
  }
  auto* dsp = new (std::nothrow) DspStandin;
  if (dsp == nullptr) {
    munmap(window, kDspWindowSize);
    errno = ENOMEM;
    return nullptr;
  }
  dsp->mailbox = static_cast<DspMailbox*>(window);
  dsp->poll_interval = config.poll_interval;
  dsp->mictest_ms = config.mictest_ms;
  dsp->mictest_result = config.mictest_result;
  dsp->table[DSP_STATUS] = config.status;
  if (!serve(dsp)) {
    munmap(window, kDspWindowSize);
    delete dsp;
    errno = EAGAIN;
    return nullptr;
  }
  return dsp;
}

void dsp_standin_stop(DspStandin* dsp) {
  if (dsp == nullptr) {
    return;
  }
  unserve(dsp);
  munmap(dsp->mailbox, kDspWindowSize);
  delete dsp;
}

std::uint16_t dsp_standin_value(DspStandin* dsp, unsigned param) {
  if (param >= kDspParamCount) {
    return 0;
  }
  std::lock_guard lock(dsp->mutex);
  dsp->finish_test_if_due(Clock::now());
  return dsp->table[param];
}

void dsp_standin_set_value(DspStandin* dsp, unsigned param, std::uint16_t value) {
  if (param >= kDspParamCount) {
    return;
  }
  std::lock_guard lock(dsp->mutex);
  dsp->table[param] = value;
  if (param == DSP_MICTEST) {
    dsp->test_running = false;  // a forced value ends any running test
  }
}

std::array<std::uint16_t, kDspParamCount> dsp_standin_table(DspStandin* dsp) {
  std::lock_guard lock(dsp->mutex);
  dsp->finish_test_if_due(Clock::now());
  return dsp->table;
}

void dsp_standin_set_fault(DspStandin* dsp, unsigned param, DspFault fault, std::uint16_t code) {
  if (param >= kDspParamCount) {
    return;
  }
  std::lock_guard lock(dsp->mutex);
  dsp->faults[param] = Fault{fault, code};
}

void dsp_standin_set_mictest(DspStandin* dsp, unsigned ms, std::uint16_t result) {
  std::lock_guard lock(dsp->mutex);
  dsp->mictest_ms = ms;
  dsp->mictest_result = result;
}

std::vector<DspRequest> dsp_standin_requests(DspStandin* dsp) {
  std::lock_guard lock(dsp->mutex);
  return dsp->requests;
}

void dsp_standin_clear_requests(DspStandin* dsp) {
  std::lock_guard lock(dsp->mutex);
  dsp->requests.clear();
}
