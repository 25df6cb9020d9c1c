// Fuzz target over the daemon's whole request path: one input is one received
// datagram, handed to request_handle() exactly as the request loop would,
// through framing, tokenising, dispatch and every command handler, with the
// DSP stand-in serving the mailbox and the LED and settings files behind it.
//
// The handlers touch the platform paths (/dev/mem, /sys/class/leds,
// /media/data/mic-array), so this program runs only inside the appliance
// sandbox (tools/fuzz.sh starts it there) and refuses to start where /dev/mem
// is a real device.
//
// Beside the sanitizers it checks, for every input:
//   - exactly one reply comes back, an ACK of the request's keyword or the
//     NACK echo of the request;
//   - nothing is logged but the daemon's own messages;
//   - the request path allocates no heap memory;
//   - the settings files stay whole, and no descriptor is left open.
//
// The daemon's waits (MICTEST 11 s, FU, IMPRESS, the identify blink, the
// 10 ms mailbox polls) are shortened here a thousandfold by replacing sleep()
// and usleep() in this program only; the DSP stand-in paces itself on a
// condition variable and is not affected.

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sanitizer/allocator_interface.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "daemon/dsp/param_store.h"
#include "daemon/led/effects.h"
#include "daemon/led/led_state.h"
#include "daemon/null/null_colours.h"
#include "daemon/server/log.h"
#include "daemon/server/request_loop.h"
#include "protocol/platform.h"
#include "protocol/protocol.h"
#include "sim/dsp_standin.h"

namespace {

constexpr long kTimeDilation = 1000;
constexpr long kSysfsMagic = 0x62656572;

int reply_socket = -1;
sockaddr_in reply_address;
DspStandin* dsp = nullptr;
int sockets_at_rest = -1;
unsigned long inputs = 0;

// Heap allocations on the request thread while a request is processed.
thread_local bool in_request = false;
thread_local unsigned long request_allocations = 0;

[[noreturn]] void fail(const char* what, const uint8_t* data, size_t size) {
  fprintf(stderr, "\n*** request path fault: %s\n*** input (%zu bytes): ", what, size);
  for (size_t i = 0; i < size && i < 200; ++i) {
    const int c = data[i];
    if (c >= 0x20 && c < 0x7F) {
      fputc(c, stderr);
    } else {
      fprintf(stderr, "\\x%02X", c);
    }
  }
  fputc('\n', stderr);
  abort();
}

void on_malloc(const volatile void*, size_t) {
  if (in_request) ++request_allocations;
}
void on_free(const volatile void*) {}

void wait_dilated(unsigned long long microseconds) {
  const unsigned long long nanoseconds = microseconds * 1000 / kTimeDilation;
  timespec wait{static_cast<time_t>(nanoseconds / 1000000000),
                static_cast<long>(nanoseconds % 1000000000)};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

constexpr size_t kMessageKinds = sizeof kLogMessages / sizeof kLogMessages[0];
unsigned long logged[kMessageKinds];

void show_log_counts() {
  fprintf(stderr, "request_fuzzer: %lu requests; messages logged:\n", inputs);
  for (size_t i = 0; i < kMessageKinds; ++i) {
    if (logged[i] != 0) fprintf(stderr, "  %8lu  %s", logged[i], kLogMessages[i]);
  }
}

void check_message(int priority, const char* format) {
  bool known = false;
  for (size_t i = 0; i < kMessageKinds && !known; ++i) {
    known = strcmp(format, kLogMessages[i]) == 0;
    if (known) ++logged[i];
  }
  if (!known || (priority & LOG_PRIMASK) != LOG_ERR) {
    fprintf(stderr, "\n*** the daemon logged an undefined message (priority %d): %s\n", priority,
            format);
    abort();
  }
}

void log_message(int priority, const char* format, va_list args) {
  check_message(priority, format);
  char text[2300];
  vsnprintf(text, sizeof text, format, args);  // formats as syslog would, %m included
}

bool is_whole(const char* path, off_t size) {
  struct stat st;
  return stat(path, &st) != 0 || st.st_size == size;
}

// The daemon's descriptors at rest: its sockets, the /dev/mem mapping's,
// and at most one LED file that the identify blink holds for a moment.
// (libFuzzer opens pipes and files of its own, which are not counted.)
struct Descriptors {
  int sockets = 0;
  int dev_mem = 0;
  int leds = 0;
  int others = 0;  // settings, version file
};

Descriptors open_descriptors() {
  Descriptors open;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return open;
  while (dirent* entry = readdir(dir)) {
    char link[300], target[256] = "";
    snprintf(link, sizeof link, "/proc/self/fd/%s", entry->d_name);
    if (readlink(link, target, sizeof target - 1) <= 0) continue;
    const std::string_view path(target);
    if (path.starts_with("socket:")) {
      ++open.sockets;
    } else if (path == kPhysicalMemoryPath) {
      ++open.dev_mem;
    } else if (path.starts_with(kLedClassFolder)) {
      ++open.leds;
    } else if (path.starts_with(kSettingsFolder) || path.starts_with(kVersionFolder)) {
      ++open.others;
    }
  }
  closedir(dir);
  return open;
}

void check_reply(const uint8_t* data, size_t size) {
  char reply[65536];
  int replies = 0;
  ssize_t reply_length = 0;
  for (;;) {
    pollfd ready{reply_socket, POLLIN, 0};
    if (poll(&ready, 1, replies == 0 ? 2000 : 0) != 1) break;
    const ssize_t got = recv(reply_socket, reply, sizeof reply - 1, 0);
    if (got < 0) break;
    if (++replies == 1) reply_length = got;
  }
  if (replies != 1) {
    fail(replies == 0 ? "no reply" : "more than one reply", data, size);
  }
  const std::string_view answer(reply, static_cast<size_t>(reply_length));

  // The request as text: up to its first NUL byte.
  const std::string_view text(reinterpret_cast<const char*>(data),
                              strnlen(reinterpret_cast<const char*>(data), size));
  const std::string nack = ("NACK " + std::string(text)).substr(0, orvo::kMaxDatagram);
  if (answer == nack) return;
  const bool framed = size > 0 && data[size - 1] == '\r';
  if (!framed || answer.substr(0, 4) != "ACK ") {
    fail("the reply is neither an ACK nor the NACK echo of the request", data, size);
  }
  const std::string_view keyword = text.substr(0, text.find_first_of(" \r"));
  if (answer.substr(4, keyword.size()) != keyword || answer.size() < 5 + keyword.size() ||
      (answer[4 + keyword.size()] != ' ' && answer[4 + keyword.size()] != '\r') ||
      (answer.back() != '\r' && answer.size() < orvo::kMaxDatagram)) {  // a long echo is cut
    fail("the ACK does not name the request's keyword or does not end in CR", data, size);
  }
}

void check_files(const uint8_t* data, size_t size) {
  if (!is_whole(kLedStatePath, sizeof(LedStateImage)) ||
      !is_whole(kNullColourPath, sizeof(NullColours))) {
    fail("a settings file is not whole", data, size);
  }
  for (unsigned param = 0; param < kDspParamCount; ++param) {
    char path[64];
    snprintf(path, sizeof path, ORVO_DSP_PARAM_PATH, param);
    if (!is_whole(path, 2)) fail("a parameter file is not 2 bytes", data, size);
  }
}

// Never touch the real hardware: only the sandbox's stand-ins will do.
void refuse_real_platform() {
  struct stat mem;
  if (stat(kPhysicalMemoryPath, &mem) != 0 || !S_ISREG(mem.st_mode) ||
      mem.st_size < kDspMemFileSize) {
    fputs(
        "request_fuzzer: /dev/mem is not the sandbox's window file; this program runs only in the "
        "appliance sandbox (tools/fuzz.sh)\n",
        stderr);
    _exit(2);
  }
  struct statfs leds;
  if (statfs(kLedClassFolder, &leds) != 0 || leds.f_type == kSysfsMagic) {
    fputs("request_fuzzer: /sys/class/leds is the real LED class; run in the appliance sandbox\n",
          stderr);
    _exit(2);
  }
}

// The daemon's start-up from its first restore to the bound socket, less the
// detaching and the self-test.
void start_appliance() {
  DspStandinConfig config;
  // A started test reads back 1 at once and has finished when MICTEST looks
  // again, after its (shortened) 11 s.
  config.mictest_ms = 5;
  // The daemon's mailbox polls are shortened too: it gives up on an answer
  // after a few milliseconds, so the stand-in must look far more often.
  config.poll_interval = std::chrono::microseconds(300);
  dsp = dsp_standin_start(kPhysicalMemoryPath, config);
  if (dsp == nullptr) {
    perror("request_fuzzer: cannot start the DSP stand-in");
    _exit(2);
  }
  for (unsigned param = 0; param < kDspParamCount; ++param) dsp_restore(param);
  led_state_init();
  led_state_apply();
  null_colours_load();
  identify_start();
  if (server_open() != 0) {
    fputs("request_fuzzer: cannot bind the daemon's port\n", stderr);
    _exit(2);
  }
  dsp_store(DSP_PARAM_13, kDspParam13Value);

  // Replies go to a socket of ours on the jail's loopback.
  reply_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (reply_socket < 0 ||
      bind(reply_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(reply_socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    perror("request_fuzzer: reply socket");
    _exit(2);
  }
  reply_address = address;
}

}  // namespace

// The daemon's waits, shortened; see above.
extern "C" unsigned int sleep(unsigned int seconds) {
  wait_dilated(seconds * 1000000ULL);
  return 0;
}

extern "C" int usleep(useconds_t microseconds) {
  wait_dilated(microseconds);
  return 0;
}

// The daemon's log, checked and dropped (it would otherwise go to /dev/log):
// everything the daemon logs goes through log_error, and that through vsyslog.
extern "C" void vsyslog(int priority, const char* format, va_list args) {
  log_message(priority, format, args);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  refuse_real_platform();
  __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
  start_appliance();
  atexit(show_log_counts);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (sockets_at_rest < 0) sockets_at_rest = open_descriptors().sockets;
  // A receive takes at most kMaxDatagram bytes of a datagram.
  const size_t length = size < orvo::kMaxDatagram ? size : orvo::kMaxDatagram;

  request_allocations = 0;
  in_request = true;
  request_handle(data, length, reply_address);
  in_request = false;

  if (request_allocations != 0) fail("heap allocation in the request path", data, length);
  check_reply(data, length);
  check_files(data, length);
  if (++inputs % 16 == 0) {
    const Descriptors open = open_descriptors();
    if (open.sockets != sockets_at_rest || open.dev_mem > 1 || open.leds > 1 || open.others > 0) {
      fail("a descriptor was left open", data, length);
    }
  }
  if (inputs % 4096 == 0) dsp_standin_clear_requests(dsp);
  return 0;
}
