// Processes for the harness: starting children with their descriptors set
// up, waiting for them, and reading about processes and sockets in /proc.
// The sandbox, its keeper, the simulator, the benchmark and the tests start
// and watch their processes through these.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sim {

// What a child gets beside its program. Descriptors given here are installed
// as the child's standard input, output and error (and descriptor 3); -1
// leaves the one this process has. They may be close-on-exec.
struct SpawnOptions {
  int in = -1;
  int out = -1;
  int err = -1;
  int fd3 = -1;
  int net_ns = -1;               // network namespace to enter first (an open ns file)
  bool die_with_parent = false;  // SIGKILL once the starting thread ends
  // Runs in the child last, just before its program starts; false ends the
  // child with status 126. Only async-signal-safe calls belong here.
  std::function<bool()> prepare;
};

// Starts a child that runs body (with an empty signal mask) and ends with
// status 0 when body returns. The child's pid, or -1.
pid_t start_child(const SpawnOptions& options, const std::function<void()>& body);
// Starts a program; argv[0] is its path. The child's pid, or -1. A program
// that cannot be started ends the child with status 127.
pid_t spawn(const std::vector<std::string>& argv, const SpawnOptions& options = {});

// A wait status as one number: the exit status, or 128 + the signal.
int exit_status(int wait_status);
// Waits up to timeout for a child to end: its exit_status, or nullopt while
// it still runs.
std::optional<int> wait_exit(pid_t pid, std::chrono::milliseconds timeout);
// Kills a child and reaps it.
void kill_child(pid_t pid);

struct RunResult {
  int status = -1;  // exit status, 128 + signal, or -1 when it did not end in time
  std::string out;
  std::string err;
  std::chrono::milliseconds elapsed{0};
};
// Runs a program with no input and collects its standard output and error
// until it ends; one that outlives timeout is killed.
RunResult run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
              SpawnOptions options = {});

// A file's bytes; "" when it cannot be read.
std::string read_text(const std::string& path);
// Where a symbolic link points; "" when it is none.
std::string read_link(const std::string& path);
// Every process /proc shows, and the command line and liveness of one.
std::vector<pid_t> process_ids();
std::vector<std::string> process_arguments(pid_t pid);
bool process_running(pid_t pid);  // there, and not a zombie
// Inodes of the UDP sockets (IPv4 and IPv6) bound to a port, from the socket
// tables in proc_net: "/proc/net" for this process's network, or
// "/proc/PID/net" for another's.
std::vector<std::string> udp_socket_inodes(const std::string& proc_net, std::uint16_t port);

}  // namespace sim
