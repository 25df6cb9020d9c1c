// A fake appliance in the test's own process: a thread with a UDP socket on
// 127.0.0.1 and a port of the system's choosing, answering each request line
// from a script, and refusing any other line as the daemon does ("NACK " and
// the request). It stops with the object.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <thread>
#include <vector>

class FakeAppliance {
 public:
  // replies: request line (without its CR) -> reply (without its CR); an
  // empty reply is none (the request goes unanswered, as a hung one).
  explicit FakeAppliance(std::map<std::string, std::string> replies);
  ~FakeAppliance();
  FakeAppliance(const FakeAppliance&) = delete;
  FakeAppliance& operator=(const FakeAppliance&) = delete;

  uint16_t port() const { return port_; }
  sockaddr_in address() const;
  // Datagrams received so far.
  int received() const { return received_.load(); }
  // The datagrams received so far, each without its CR, in order.
  std::vector<std::string> lines() const;

 private:
  void serve();
  std::map<std::string, std::string> replies_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> received_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  std::thread thread_;
};
