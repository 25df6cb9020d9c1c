// A fresh appliance for every test: the sandbox with the real daemon in it,
// and what the tests look at it with (its LEDs, settings files, DSP and log).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "daemon/server/log.h"
#include "protocol/dsp_mailbox.h"
#include "protocol/platform.h"
#include "sim/dsp_standin.h"
#include "sim/sandbox.h"

using namespace std::chrono_literals;

// VERSION's answer with the version file every sandbox starts with.
inline const std::string kVersionAck = "ACK VERSION 1.0.0-sim\r";

// A line the daemon logs, as it reads with the given values: one of the
// messages of daemon/server/log.h. logged_error gives "%m" the text of error.
__attribute__((format(printf, 1, 2))) std::string logged(const char* message, ...);
__attribute__((format(printf, 2, 3))) std::string logged_error(int error, const char* message, ...);

// The bytes of the given values (each 0-255).
std::string bytes(std::initializer_list<int> values);
// A 16-bit value as a parameter file holds it: low byte first.
std::string le16(int value);

// The LED state file: 17 rows (channels 0-16) of red, green and blue flags,
// then 17 rows of levels; row 0 is never used.
inline constexpr std::size_t kLedImageSize = 102;
inline constexpr std::size_t led_flag_at(int channel, int component) {
  return static_cast<std::size_t>(3 * channel + component);
}
inline constexpr std::size_t led_level_at(int channel, int component) {
  return kLedImageSize / 2 + led_flag_at(channel, component);
}
// The image of a first start: channels 1-15 switched on and green.
std::string default_led_image();

// kLedCount times the same colour, as led_colours() gives them.
std::vector<std::string> every_led(const std::string& colour);
// The LEDs 1-15 but the given ones.
std::vector<int> leds_but(const std::vector<int>& except);

// Each test gets its own sandbox with the DSP stand-in serving its mailbox.
class Appliance : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts the daemon and waits until it has started up and answers.
  void start(const std::vector<std::string>& args = {"notest"});
  // Starts the daemon without waiting for it to listen.
  void launch(const std::vector<std::string>& args = {"notest"}, int receive_error = 0);
  // Starts the daemon and waits for it to end: its exit status, or -1 when
  // it went on running.
  int exit_status(const std::vector<std::string>& args = {"notest"}, int receive_error = 0);
  // The daemon's open descriptors, as "fd -> target".
  std::vector<std::string> descriptors() const;

  // The reply to one datagram, or "<no reply>".
  std::string ask(const std::string& datagram) const;
  // Each request must be answered with its NACK echo.
  void expect_refused(const std::vector<std::string>& requests) const;
  // The same, for a request that may take long, and how long it took.
  struct Timed {
    std::string reply;
    std::chrono::steady_clock::duration took;
  };
  Timed ask_timed(const std::string& datagram, std::chrono::milliseconds timeout = 30s) const;
  // The messages logged so far, in order.
  std::vector<std::string> messages() const;
  // The messages, once at least count have arrived (or the time is up).
  std::vector<std::string> messages(size_t count, std::chrono::milliseconds timeout = 3s) const;
  // Runs the client (through the program prefix) in the jail's network.
  sim::RunResult client(const std::vector<std::string>& args,
                        std::chrono::milliseconds timeout = 20s) const;

  // The bytes of a DSP parameter's settings file ("" when there is none).
  std::string param_file(unsigned param) const;
  // What the DSP stand-in holds for a parameter, in the DSP's form.
  std::uint16_t dsp_value(unsigned param) const;
  // The parameters written to the DSP stand-in so far, in order.
  std::vector<unsigned> dsp_writes() const;

  // The three brightness texts of one LED, as "r g b".
  std::string led_colour(int led) const;
  // LEDs 1 to 15, first to last.
  std::vector<std::string> led_colours() const;
  // The LEDs that show the given colour.
  std::vector<int> leds_showing(const std::string& colour) const;
  // Puts the same text into every brightness file.
  void fill_leds(const std::string& text) const;

  virtual sim::SandboxOptions options() const { return {}; }
  virtual DspStandinConfig dsp_config() const { return {}; }

  std::unique_ptr<sim::Sandbox> box;
  DspStandin* dsp = nullptr;  // null when the sandbox has no /dev/mem
};

// An appliance whose daemon is listening when the test begins.
class StartedAppliance : public Appliance {
 protected:
  void SetUp() override {
    Appliance::SetUp();
    if (!HasFatalFailure()) start();
  }
};
