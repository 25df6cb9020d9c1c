// A virtual site: appliances on one subnet, and a host to run the client on.
//
// Each appliance is an appliance sandbox (its own jail and network
// namespace) with a DSP stand-in; a further sandbox, with no daemon, is the
// client's host; a third holds the network between them: a bridge, to which
// a veth pair joins every other namespace. Addresses come from 192.0.2.0/24
// (TEST-NET-1): the client is 192.0.2.2, appliance i is 192.0.2.(10 + i). The
// client's host routes everything (255.255.255.255 too) to the bridge; no
// namespace has a way out, so nothing leaves the site.
//
// Everything is owned by the sandboxes: when the Site ends, or the process
// that made it dies, the jails end, their namespaces with them, and the
// links between them with those. Nothing is left to clean up.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "sim/dsp_standin.h"
#include "sim/sandbox.h"

namespace sim {

class Site {
 public:
  static constexpr int kMaxAppliances = 200;

  // count appliances, their daemons not started; nullptr with *error set
  // when the site cannot be made here.
  static std::unique_ptr<Site> create(int count, std::string* error);
  ~Site();
  Site(const Site&) = delete;
  Site& operator=(const Site&) = delete;

  int size() const { return static_cast<int>(appliances_.size()); }
  Sandbox& appliance(int i) const { return *appliances_[static_cast<size_t>(i)].box; }
  DspStandin* dsp(int i) const { return appliances_[static_cast<size_t>(i)].dsp; }
  static std::string address(int i);  // of appliance i
  static std::string client_address() { return "192.0.2.2"; }
  static std::string subnet() { return "192.0.2.0/24"; }

  // Starts the daemon of every appliance ("notest"), then waits until each
  // listens.
  bool start_all(std::string* error);

  // The client's host: its sandbox (for sockets in its network), a further
  // address for it on the subnet, and a run of the client program (through
  // the program prefix) there.
  Sandbox& client_host() const { return *client_; }
  bool add_client_address(const std::string& address, std::string* error);
  RunResult client(const std::vector<std::string>& args, std::chrono::milliseconds timeout) const;

 private:
  struct Appliance {
    std::unique_ptr<Sandbox> box;
    DspStandin* dsp = nullptr;
  };
  Site() = default;
  bool build(int count, std::string* error);
  bool join(Sandbox& host, int port, const std::string& address, std::string* error);
  bool ip(const Sandbox& where, const std::vector<std::string>& args, std::string* error) const;

  std::unique_ptr<Sandbox> network_;  // holds the bridge
  std::string network_pid_;           // of its jail, to name its namespace to ip
  std::unique_ptr<Sandbox> client_;
  std::vector<Appliance> appliances_;
};

}  // namespace sim
