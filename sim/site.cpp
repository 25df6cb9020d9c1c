#include "sim/site.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "protocol/platform.h"

namespace sim {

namespace {

using namespace std::chrono_literals;

const std::string& ip_program() {
  static const std::string found = [] {
    for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
      if (access(path, X_OK) == 0) return std::string(path);
    }
    return std::string();
  }();
  return found;
}

// A jail that only lends its network namespace: no daemon, no DSP window,
// no version file.
SandboxOptions bare() {
  SandboxOptions options;
  options.version = std::nullopt;
  options.dev_mem = false;
  return options;
}

}  // namespace

std::unique_ptr<Site> Site::create(int count, std::string* error) {
  std::unique_ptr<Site> site(new Site());
  if (!site->build(count, error)) return nullptr;
  return site;
}

std::string Site::address(int i) { return "192.0.2." + std::to_string(10 + i); }

bool Site::build(int count, std::string* error) {
  if (count < 0 || count > kMaxAppliances) {
    *error = "a site holds 0 to " + std::to_string(kMaxAppliances) + " appliances";
    return false;
  }
  if (ip_program().empty()) {
    *error = "ip not found: install the iproute2 package";
    return false;
  }
  network_ = Sandbox::create(bare(), error);
  if (!network_) return false;
  // ip moves a link into another namespace by the PID of a process there.
  network_pid_ = std::to_string(network_->jail_pid());
  if (!ip(*network_, {"link", "add", "br0", "type", "bridge"}, error) ||
      !ip(*network_, {"link", "set", "br0", "up"}, error)) {
    return false;
  }

  client_ = Sandbox::create(bare(), error);
  if (!client_ || !join(*client_, 0, client_address(), error) ||
      !ip(*client_, {"route", "add", "default", "dev", "eth0"}, error)) {
    return false;
  }
  for (int i = 0; i < count; ++i) {
    appliances_.emplace_back();
    Appliance& appliance = appliances_.back();
    appliance.box = Sandbox::create({}, error);
    if (!appliance.box) return false;
    appliance.dsp = dsp_standin_start(appliance.box->host_path(kPhysicalMemoryPath).c_str(), {});
    if (appliance.dsp == nullptr) {
      *error = "cannot start a DSP stand-in: " + std::string(strerror(errno));
      return false;
    }
    if (!join(*appliance.box, i + 1, address(i), error)) return false;
  }
  return true;
}

Site::~Site() {
  for (Appliance& appliance : appliances_) {
    appliance.box.reset();  // the daemon first: it drives the DSP window
    dsp_standin_stop(appliance.dsp);
  }
  client_.reset();
  network_.reset();
}

// A veth pair: eth0 with the address in the host's namespace, its peer
// (portN) on the bridge.
bool Site::join(Sandbox& host, int port, const std::string& address, std::string* error) {
  const std::string peer = "port" + std::to_string(port);
  return ip(host,
            {"link", "add", "eth0", "type", "veth", "peer", "name", peer, "netns", network_pid_},
            error) &&
         ip(host, {"addr", "add", address + "/24", "dev", "eth0"}, error) &&
         ip(host, {"link", "set", "eth0", "up"}, error) &&
         ip(*network_, {"link", "set", peer, "master", "br0", "up"}, error);
}

bool Site::ip(const Sandbox& where, const std::vector<std::string>& args,
              std::string* error) const {
  std::vector<std::string> argv = {ip_program()};
  argv.insert(argv.end(), args.begin(), args.end());
  const RunResult run = where.run_in_network(argv, 10s);
  if (run.status == 0) return true;
  *error = "ip";
  for (const std::string& arg : args) *error += " " + arg;
  *error += " failed (status " + std::to_string(run.status) + "): " + run.err;
  return false;
}

bool Site::start_all(std::string* error) {
  for (Appliance& appliance : appliances_) {
    if (!appliance.box->start_daemon({"notest"}, error)) return false;
  }
  for (Appliance& appliance : appliances_) {
    if (!appliance.box->wait_listening(30s)) {
      *error = "a daemon never bound its port";
      return false;
    }
  }
  return true;
}

bool Site::add_client_address(const std::string& address, std::string* error) {
  return ip(*client_, {"addr", "add", address + "/24", "dev", "eth0"}, error);
}

RunResult Site::client(const std::vector<std::string>& args,
                       std::chrono::milliseconds timeout) const {
  std::vector<std::string> argv = programs().prefix;
  argv.push_back(programs().client);
  argv.insert(argv.end(), args.begin(), args.end());
  return client_->run_in_network(argv, timeout);
}

}  // namespace sim
