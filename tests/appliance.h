// A fresh appliance for every test: the sandbox with the real daemon in it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "protocol/platform.h"
#include "sim/dsp_standin.h"
#include "sim/sandbox.h"

using namespace std::chrono_literals;

// Each test gets its own sandbox with the DSP stand-in serving its mailbox.
class Appliance : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts the daemon and waits until it listens.
  void start(const std::vector<std::string>& args = {"notest"});
  // The reply to one datagram, or "<no reply>".
  std::string ask(const std::string& datagram) const;
  // The messages logged so far, in order.
  std::vector<std::string> messages() const;
  // The messages, once at least count have arrived (or the time is up).
  std::vector<std::string> messages(size_t count, std::chrono::milliseconds timeout = 3s) const;
  // Runs the client (through the program prefix) in the jail's network.
  sim::RunResult client(const std::vector<std::string>& args,
                        std::chrono::milliseconds timeout = 20s) const;

  virtual sim::SandboxOptions options() const { return {}; }
  virtual DspStandinConfig dsp_config() const { return {}; }

  std::unique_ptr<sim::Sandbox> box;
  DspStandin* dsp = nullptr;  // null when the sandbox has no /dev/mem
};
