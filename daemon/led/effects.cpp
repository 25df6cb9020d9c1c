#include "daemon/led/effects.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

#include "daemon/led/led_state.h"
#include "daemon/server/reply.h"

namespace {

// Identify blinking wanted. Written only under identify_mutex, read by the
// blink thread without it.
std::atomic<bool> identify_flag{false};
// Held by the blink thread for a whole cycle, and by ID while it changes the
// flag; taken before led_mutex, never after it.
pthread_mutex_t identify_mutex = PTHREAD_MUTEX_INITIALIZER;

constexpr LedSetting kWhite{0, 255, 255, 255};
constexpr LedSetting kOff{0, 0, 0, 0};

constexpr useconds_t kBlinkOn = 330000;
constexpr useconds_t kBlinkOff = 670000;
constexpr unsigned kIdleCheck = 1;  // seconds between looks at the flag
// While an ID waits for identify_mutex, the blink thread steps aside this
// long between cycles instead of taking the mutex straight back.
constexpr useconds_t kYieldToWaiter = 1000;

constexpr int kFlashPhases = 15;
constexpr useconds_t kFlashPhase = 330000;

constexpr int kImpressSteps = 120;
constexpr useconds_t kImpressStep = 50000;
constexpr std::uint8_t kImpressLevel = 44;

// ID handlers waiting for identify_mutex. A mutex hands itself to whoever
// asks first once it is free, and the blink thread asks again right after a
// cycle, before a waiting handler has even woken; without this count an ID
// could wait for cycle after cycle.
std::atomic<int> identify_waiters{0};

// 0 once the blink thread runs; until then, or for good when it could not be
// started, the error that keeps it from running (ID 1 is refused with it).
int identify_missing = EAGAIN;

void blink_cycle() {
  led_apply(&kWhite);
  usleep(kBlinkOn);
  led_apply(&kOff);
  usleep(kBlinkOff);
}

void identify_set(bool on) {
  identify_waiters.fetch_add(1);
  pthread_mutex_lock(&identify_mutex);
  identify_waiters.fetch_sub(1);
  identify_flag.store(on);
  pthread_mutex_unlock(&identify_mutex);
}

void move_unit(std::uint8_t* from, std::uint8_t* to) {
  --*from;
  ++*to;
}

void* identify_thread(void*) {
  for (;;) {
    if (!identify_flag.load()) {
      sleep(kIdleCheck);
      continue;
    }
    if (identify_waiters.load() > 0) {
      usleep(kYieldToWaiter);
      continue;
    }
    pthread_mutex_lock(&identify_mutex);
    // ID may have cleared the flag while this thread waited for the mutex:
    // no cycle may start after that.
    if (identify_flag.load()) {
      blink_cycle();
    }
    pthread_mutex_unlock(&identify_mutex);
  }
  return nullptr;
}

}  // namespace

void identify_start() {
  pthread_t thread;
  identify_missing = pthread_create(&thread, nullptr, identify_thread, nullptr);
  if (identify_missing == 0) {
    pthread_detach(thread);
  }
}

void impress_step(LedSetting* colour) {
  std::uint8_t* r = &colour->red;
  std::uint8_t* g = &colour->green;
  std::uint8_t* b = &colour->blue;
  if (*r != 0 && *b == 0) {
    move_unit(r, g);
    if (*r == 0 && *g != 0) {
      move_unit(g, b);
      if (*g == 0) {
        move_unit(b, r);
      }
    }
  } else if (*r != 0) {
    if (*g == 0) {
      move_unit(b, r);
    }
  } else if (*g != 0) {
    move_unit(g, b);
    if (*g == 0 && *b != 0) {
      move_unit(b, r);
    }
  } else if (*b != 0) {
    move_unit(b, r);
  }
}

int cmd_id(int argc, char** argv) {
  if (argc != 2 || (strcmp(argv[1], "0") != 0 && strcmp(argv[1], "1") != 0)) {
    return -EINVAL;
  }
  const bool on = argv[1][0] == '1';
  // Nothing would blink: refused. ID 0 still shows the stored state.
  if (on && identify_missing != 0) {
    return -identify_missing;
  }
  // Waits for the end of a running blink cycle; once the flag is clear no
  // further cycle starts, so the stored state shown below stays.
  identify_set(on);
  if (!on) {
    const int result = led_state_apply();
    if (result != 0) {
      return result;
    }
  }
  reply_format(0, "ACK ID %s\r", argv[1]);
  return 0;
}

int cmd_fu(int argc, char**) {
  if (argc != 1) {
    return -EINVAL;
  }
  // Dark, white, dark ... dark. A flash that fails to show is only missed;
  // the stored state must come back, or the command has failed.
  for (int phase = 0; phase < kFlashPhases; ++phase) {
    led_apply(phase % 2 == 1 ? &kWhite : &kOff);
    usleep(kFlashPhase);
  }
  const int result = led_state_apply();
  if (result != 0) {
    return result;
  }
  reply_format(0, "ACK FU\r");
  return 0;
}

int cmd_impress(int argc, char**) {
  if (argc != 1) {
    return -EINVAL;
  }
  // One LED a step, 1 to 15 over and over.
  LedSetting colour{0, kImpressLevel, 0, 0};
  for (int step = 0; step < kImpressSteps; ++step) {
    usleep(kImpressStep);
    impress_step(&colour);
    colour.channel = colour.channel == kLedCount ? 1 : colour.channel + 1;
    led_apply(&colour);
  }
  // The show ends dark; the stored state returns with the next LED command.
  const int result = led_apply(&kOff);
  if (result != 0) {
    return result;
  }
  reply_format(0, "ACK IMPRESS\r");
  return 0;
}
