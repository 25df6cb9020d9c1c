// The appliance sandbox: a bubblewrap jail in which every platform path of
// the appliance (protocol/platform.h) is at its real place, served by files
// and sockets that this side can read and write directly.
//
//   /dev/mem                     sparse file, the DSP window at 0x0C000000
//   /sys/class/leds/ledNc/brightness   plain files, N = 1..15, c = r, g, b
//   /media/data/mic-array        a fresh folder (or a kept one)
//   /etc/sw-version/rootfs_system_version   the version line
//   /dev/log                     a syslog receiver owned by the Sandbox
//
// The jail has private mount, PID and (unless host_network) network
// namespaces and runs with no capabilities, so file modes apply inside it.
// Everything in it ends with the Sandbox.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "sim/process.h"

namespace sim {

// Paths in the jail, from the platform's patterns.
std::string brightness_path(int led, char component);  // component 'r', 'g' or 'b'
std::string dsp_param_path(unsigned param);

struct SandboxOptions {
  // Share the host's network (the simulator), instead of a private loopback.
  bool host_network = false;
  // Content of the version file; nullopt leaves the file out.
  std::optional<std::string> version = std::string("1.0.0-sim\n");
  // Put the DSP window file at /dev/mem (kDspMemFileSize bytes, sparse).
  bool dev_mem = true;
  // Host folder to serve as /media/data/mic-array; empty for a fresh one.
  std::string data_folder;
  // Further host files or folders to mount in the jail (a test program, its
  // working folder), read-only unless writable.
  struct Bind {
    std::string host;
    std::string jail;
    bool writable = false;
  };
  std::vector<Bind> binds;
};

// When ORVO_SANITIZER_LOG_DIR names a host folder, every sandbox mounts it
// writable at the same path, so that sanitizer reports of programs in the
// jail (ASAN_OPTIONS=log_path=...) land where the test side can read them.

struct LogEntry {
  int priority;         // facility * 8 + severity, as sent
  std::string ident;    // the text before ": "
  std::string message;  // everything after it, unchanged
};

// The programs under test and how to start them. Taken from the environment
// (ORVO_UDPD, ORVO_UDPC, ORVO_RUN_PREFIX, e.g. "qemu-arm -L /usr/...") where
// set, else from the build.
struct Programs {
  std::string daemon;
  std::string client;
  std::string keeper;
  std::vector<std::string> prefix;
};
const Programs& programs();

class Sandbox {
 public:
  // nullptr with *error set when no sandbox can be made here.
  static std::unique_ptr<Sandbox> create(const SandboxOptions& options, std::string* error);
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // Host path of a path inside the jail (only the appliance paths above).
  std::string host_path(const std::string& jail_path) const;
  std::string read_file(const std::string& jail_path) const;  // "" when missing
  bool exists(const std::string& jail_path) const;
  void write_file(const std::string& jail_path, const std::string& bytes) const;
  void remove_file(const std::string& jail_path) const;
  void set_mode(const std::string& jail_path, mode_t mode) const;
  const std::string& folder() const { return folder_; }

  // Starts the daemon (with the program prefix) inside the jail and waits
  // for its first process to return, which it does once it has detached.
  // receive_error != 0 makes every receive of the daemon fail with it.
  bool start_daemon(const std::vector<std::string>& args, std::string* error,
                    int receive_error = 0);
  // Waits until the daemon's port is bound inside the jail.
  bool wait_listening(std::chrono::milliseconds timeout) const;
  // Host PID of the running daemon, or -1.
  pid_t daemon_pid() const;
  // Kills every process in the jail but its keeper, and waits for that.
  bool kill_daemon();
  // Runs a program in the jail (without the program prefix), its standard
  // output and error going to this process's standard error, and waits for
  // it to end: its exit status (128 + signal), or nullopt when it could not
  // be started or did not end in time (it is then killed with the rest of
  // the jail's programs).
  std::optional<int> run_in_jail(const std::vector<std::string>& argv,
                                 std::chrono::milliseconds timeout);
  // Exit status of the detached daemon (or of its first process when it
  // could not detach), once it has ended; nullopt on time-out.
  std::optional<int> wait_daemon_exit(std::chrono::milliseconds timeout);

  // The jail's network namespace, open for setns() as long as the Sandbox
  // lives; -1 with host_network. A test that joins jails into a network of
  // its own moves one end of a veth pair there (ip link set DEV netns
  // jail_pid()) and configures it with run_in_network().
  int network_namespace() const { return net_ns_; }
  // Host PID of the jail's first process, which lives as long as the jail.
  pid_t jail_pid() const { return jail_init_pid_; }

  // A UDP socket in the jail's network, or -1.
  int open_udp() const;
  // A socket of the given type (SOCK_STREAM, say) in the jail's network, or -1.
  int open_socket(int type) const;
  // Sends one datagram to the daemon's port from a fresh socket and returns
  // the first reply, or nullopt when none came in time. After a reply, log()
  // holds every line the daemon logged before sending it.
  std::optional<std::string> request(
      const std::string& datagram,
      std::chrono::milliseconds timeout = std::chrono::seconds(3)) const;
  // Runs a host program in the jail's network and collects its output.
  RunResult run_in_network(const std::vector<std::string>& argv,
                           std::chrono::milliseconds timeout) const;

  // Everything the jail has logged so far.
  std::vector<LogEntry> log() const;
  // Waits until a message equal to the given one has been logged.
  bool wait_log(const std::string& message, std::chrono::milliseconds timeout) const;

 private:
  Sandbox() = default;
  // create() launches the jail in these steps, in this order.
  bool launch(const SandboxOptions& options, std::string* error);
  bool make_folder(const SandboxOptions& options, std::string* error);
  bool lay_out_platform(const SandboxOptions& options, std::string* error);
  bool open_log(std::string* error);
  std::vector<std::string> bwrap_arguments(const SandboxOptions& options) const;
  bool start_jail(const SandboxOptions& options, std::string* error);
  bool open_network(std::string* error);

  bool keeper_send(const std::string& line);
  bool keeper_start(const std::string& line, std::string* error);
  void keeper_events();
  void log_receiver();
  void settle_log() const;

  std::string folder_;
  std::string data_folder_;
  pid_t bwrap_pid_ = -1;
  pid_t jail_init_pid_ = -1;  // host PID of the jail's first process
  int keeper_in_ = -1;
  int keeper_out_ = -1;
  int log_socket_ = -1;
  int net_ns_ = -1;
  bool host_network_ = false;
  std::thread keeper_thread_;
  std::thread log_thread_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<LogEntry> log_;
  long last_spawned_ = -1;
  std::vector<std::pair<long, int>> exits_;  // jail PID, status
  bool killed_ = false;
  bool closing_ = false;
};

}  // namespace sim
