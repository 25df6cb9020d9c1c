#include "sim/sandbox.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "protocol/dsp_mailbox.h"
#include "protocol/platform.h"
#include "protocol/protocol.h"

namespace sim {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kJailDaemon = "/opt/orvo/orvo-udpd";
constexpr const char* kJailKeeper = "/opt/orvo/jail-keeper";

std::string env_or(const char* name, const char* fallback) {
  const char* value = getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

// Absolute path of a program named without a slash, looked up in PATH.
std::string which(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  std::stringstream path(env_or("PATH", "/usr/bin:/bin"));
  std::string dir;
  while (std::getline(path, dir, ':')) {
    const std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return name;
}

bool write_all(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return static_cast<bool>(out);
}

int remove_entry(const char* path, const struct stat*, int, FTW*) { return ::remove(path); }

// The folder part of a path.
std::string parent(const std::string& path) { return path.substr(0, path.rfind('/')); }

LogEntry parse_log(const std::string& datagram) {
  LogEntry entry{-1, "", datagram};
  if (datagram.empty() || datagram[0] != '<') return entry;
  const size_t close = datagram.find('>');
  const size_t colon = datagram.find(": ", close);
  if (close == std::string::npos || colon == std::string::npos) return entry;
  entry.priority = atoi(datagram.c_str() + 1);
  const size_t space = datagram.rfind(' ', colon);
  const size_t ident_begin = space == std::string::npos || space < close ? close + 1 : space + 1;
  entry.ident = datagram.substr(ident_begin, colon - ident_begin);
  entry.message = datagram.substr(colon + 2);
  return entry;
}

}  // namespace

std::string brightness_path(int led, char component) {
  char path[64];
  snprintf(path, sizeof path, ORVO_LED_BRIGHTNESS_PATH, led, component);
  return path;
}

std::string dsp_param_path(unsigned param) {
  char path[64];
  snprintf(path, sizeof path, ORVO_DSP_PARAM_PATH, param);
  return path;
}

const Programs& programs() {
  static const Programs found = [] {
    Programs p;
    p.daemon = env_or("ORVO_UDPD", ORVO_UDPD_PATH);
    p.client = env_or("ORVO_UDPC", ORVO_UDPC_PATH);
    p.keeper = env_or("ORVO_KEEPER", ORVO_KEEPER_PATH);
    std::stringstream words(env_or("ORVO_RUN_PREFIX", ""));
    std::string word;
    while (words >> word) p.prefix.push_back(p.prefix.empty() ? which(word) : word);
    return p;
  }();
  return found;
}

std::unique_ptr<Sandbox> Sandbox::create(const SandboxOptions& options, std::string* error) {
  std::unique_ptr<Sandbox> box(new Sandbox());
  if (!box->launch(options, error)) return nullptr;
  return box;
}

bool Sandbox::launch(const SandboxOptions& options, std::string* error) {
  if (geteuid() != 0) {
    *error = "the appliance sandbox needs root: bubblewrap binds files over /dev, /sys and /etc "
             "and the tests enter the jail's network namespace";
    return false;
  }
  if (access(which("bwrap").c_str(), X_OK) != 0) {
    *error = "bwrap not found: install the bubblewrap package";
    return false;
  }
  host_network_ = options.host_network;
  if (!make_folder(options, error) || !lay_out_platform(options, error) || !open_log(error) ||
      !start_jail(options, error) || !open_network(error)) {
    return false;
  }
  keeper_thread_ = std::thread([this] { keeper_events(); });
  return true;
}

// The sandbox's own folder, which holds everything the jail's platform paths
// show, and the settings folder (a fresh one in it, or the one given).
bool Sandbox::make_folder(const SandboxOptions& options, std::string* error) {
  std::string base = env_or("TMPDIR", "/tmp") + "/orvo-sandbox.XXXXXX";
  if (mkdtemp(base.data()) == nullptr) {
    *error = "cannot make a sandbox folder: " + std::string(strerror(errno));
    return false;
  }
  folder_ = base;
  data_folder_ = options.data_folder.empty() ? folder_ + "/data" : options.data_folder;
  return true;
}

// The files behind the platform paths: LED brightness files reading "0", the
// version file, the window file for /dev/mem, and the few /etc files the
// jail's programs need.
bool Sandbox::lay_out_platform(const SandboxOptions& options, std::string* error) {
  bool made = mkdir((folder_ + "/leds").c_str(), 0755) == 0 &&
              mkdir((folder_ + "/ver").c_str(), 0755) == 0 &&
              mkdir((folder_ + "/etc").c_str(), 0755) == 0;
  if (options.data_folder.empty()) made = made && mkdir(data_folder_.c_str(), 0755) == 0;
  for (int led = 1; led <= kLedCount && made; ++led) {
    for (const char component : {'r', 'g', 'b'}) {
      const std::string file = host_path(brightness_path(led, component));
      made = made && mkdir(parent(file).c_str(), 0755) == 0 && write_all(file, "0");
    }
  }
  made = made && write_all(folder_ + "/etc/hosts", "127.0.0.1 localhost\n") &&
         write_all(folder_ + "/etc/nsswitch.conf", "hosts: files\n");
  if (options.version) made = made && write_all(host_path(kVersionPath), *options.version);
  if (options.dev_mem) {
    const std::string mem = host_path(kPhysicalMemoryPath);
    made = made && write_all(mem, "") && truncate(mem.c_str(), kDspMemFileSize) == 0;
  }
  if (!made) *error = "cannot lay out the sandbox files in " + folder_;
  return made;
}

// The syslog receiver, bound here and mounted at the jail's /dev/log.
bool Sandbox::open_log(std::string* error) {
  log_socket_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string log_path = folder_ + "/log.sock";
  if (log_path.size() >= sizeof address.sun_path) {
    *error = "sandbox folder path too long for a socket: " + folder_;
    return false;
  }
  strcpy(address.sun_path, log_path.c_str());
  const int buffer = 4 << 20;
  setsockopt(log_socket_, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
  if (bind(log_socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    *error = "cannot bind the log receiver: " + std::string(strerror(errno));
    return false;
  }
  chmod(log_path.c_str(), 0666);
  log_thread_ = std::thread([this] { log_receiver(); });
  return true;
}

// bwrap's command line: a root of the host's /usr, the platform paths bound
// to the sandbox's files, the programs under /opt/orvo, and the keeper as
// the jail's first program.
std::vector<std::string> Sandbox::bwrap_arguments(const SandboxOptions& options) const {
  const Programs& p = programs();
  // clang-format off
  std::vector<std::string> args = {
      which("bwrap"), "--die-with-parent", "--unshare-pid", "--unshare-ipc", "--unshare-uts",
      "--cap-drop", "ALL",
      "--ro-bind", "/usr", "/usr",
      "--symlink", "usr/bin", "/bin", "--symlink", "usr/lib", "/lib",
      "--symlink", "usr/lib64", "/lib64", "--symlink", "usr/sbin", "/sbin",
      "--proc", "/proc", "--dev", "/dev", "--tmpfs", "/tmp", "--tmpfs", "/etc",
      "--ro-bind-try", "/etc/ld.so.cache", "/etc/ld.so.cache",
      "--ro-bind-try", "/etc/passwd", "/etc/passwd",
      "--ro-bind-try", "/etc/group", "/etc/group",
      "--ro-bind-try", "/etc/localtime", "/etc/localtime",
      "--ro-bind", folder_ + "/etc/hosts", "/etc/hosts",
      "--ro-bind", folder_ + "/etc/nsswitch.conf", "/etc/nsswitch.conf",
      "--bind", host_path(kVersionFolder), kVersionFolder,
      "--bind", folder_ + "/log.sock", "/dev/log",
      "--tmpfs", "/sys", "--bind", host_path(kLedClassFolder), kLedClassFolder,
      "--bind", data_folder_, kSettingsFolder,
      "--ro-bind", p.keeper, kJailKeeper,
      "--ro-bind", p.daemon, kJailDaemon};
  // clang-format on
  for (const SandboxOptions::Bind& bind : options.binds) {
    args.insert(args.end(), {bind.writable ? "--bind" : "--ro-bind", bind.host, bind.jail});
  }
  const std::string sanitizer_logs = env_or("ORVO_SANITIZER_LOG_DIR", "");
  if (!sanitizer_logs.empty()) args.insert(args.end(), {"--bind", sanitizer_logs, sanitizer_logs});
  if (!options.host_network) args.push_back("--unshare-net");
  if (options.dev_mem) {
    args.insert(args.end(), {"--bind", host_path(kPhysicalMemoryPath), kPhysicalMemoryPath});
  }
  args.insert(args.end(), {"--chdir", "/", "--info-fd", "3", kJailKeeper});
  return args;
}

// Starts bwrap with the keeper's control input and event output on pipes of
// ours, and learns the host PID of the jail's first process from its info.
bool Sandbox::start_jail(const SandboxOptions& options, std::string* error) {
  int control[2], events[2], info[2];
  if (pipe2(control, O_CLOEXEC) != 0 || pipe2(events, O_CLOEXEC) != 0 ||
      pipe2(info, O_CLOEXEC) != 0) {
    *error = "pipe: " + std::string(strerror(errno));
    return false;
  }
  SpawnOptions jail;
  jail.in = control[0];
  jail.out = events[1];
  jail.fd3 = info[1];
  bwrap_pid_ = spawn(bwrap_arguments(options), jail);
  for (int fd : {control[0], events[1], info[1]}) close(fd);
  keeper_in_ = control[1];
  keeper_out_ = events[0];

  std::string json;
  char chunk[256];
  ssize_t got;
  while ((got = read(info[0], chunk, sizeof chunk)) > 0) {
    json.append(chunk, static_cast<size_t>(got));
  }
  close(info[0]);
  const size_t key = json.find("\"child-pid\"");
  if (bwrap_pid_ < 0 || key == std::string::npos) {
    *error = "bwrap did not start the jail (is bubblewrap usable here?)";
    return false;
  }
  jail_init_pid_ = atoi(json.c_str() + json.find(':', key) + 1);
  return true;
}

// Opens the jail's network namespace and waits for its loopback, which bwrap
// brings up only after it has reported the jail's PID.
bool Sandbox::open_network(std::string* error) {
  if (host_network_) return true;
  net_ns_ =
      open(("/proc/" + std::to_string(jail_init_pid_) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
  if (net_ns_ < 0) {
    *error = "cannot open the jail's network namespace: " + std::string(strerror(errno));
    return false;
  }
  const auto deadline = Clock::now() + 10s;
  for (;;) {
    const int fd = open_udp();
    ifreq lo{};
    strcpy(lo.ifr_name, "lo");
    const bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &lo) == 0 && (lo.ifr_flags & IFF_UP) != 0;
    if (fd >= 0) close(fd);
    if (up) return true;
    if (Clock::now() > deadline) {
      *error = "the jail's loopback did not come up";
      return false;
    }
    std::this_thread::sleep_for(1ms);
  }
}

Sandbox::~Sandbox() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  if (keeper_in_ >= 0) close(keeper_in_);  // the keeper ends, and the jail with it
  if (bwrap_pid_ > 0 && !wait_exit(bwrap_pid_, 5s)) kill_child(bwrap_pid_);
  if (keeper_thread_.joinable()) keeper_thread_.join();
  if (log_thread_.joinable()) log_thread_.join();
  for (int fd : {keeper_out_, log_socket_, net_ns_}) {
    if (fd >= 0) close(fd);
  }
  if (!folder_.empty()) nftw(folder_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string Sandbox::host_path(const std::string& jail_path) const {
  const auto under = [&](const std::string& prefix) {
    return jail_path.compare(0, prefix.size(), prefix) == 0 &&
           (jail_path.size() == prefix.size() || jail_path[prefix.size()] == '/');
  };
  if (jail_path == kPhysicalMemoryPath) return folder_ + "/mem";
  if (under(kSettingsFolder)) return data_folder_ + jail_path.substr(strlen(kSettingsFolder));
  if (under(kLedClassFolder)) return folder_ + "/leds" + jail_path.substr(strlen(kLedClassFolder));
  if (under(kVersionFolder)) return folder_ + "/ver" + jail_path.substr(strlen(kVersionFolder));
  return folder_ + "/unmapped" + jail_path;
}

std::string Sandbox::read_file(const std::string& jail_path) const {
  return read_text(host_path(jail_path));
}

bool Sandbox::exists(const std::string& jail_path) const {
  return access(host_path(jail_path).c_str(), F_OK) == 0;
}

void Sandbox::write_file(const std::string& jail_path, const std::string& bytes) const {
  write_all(host_path(jail_path), bytes);
}

void Sandbox::remove_file(const std::string& jail_path) const {
  unlink(host_path(jail_path).c_str());
}

void Sandbox::set_mode(const std::string& jail_path, mode_t mode) const {
  chmod(host_path(jail_path).c_str(), mode);
}

bool Sandbox::keeper_send(const std::string& line) {
  const std::string text = line + "\n";
  return write(keeper_in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void Sandbox::keeper_events() {
  std::string pending;
  char chunk[512];
  ssize_t got;
  while ((got = read(keeper_out_, chunk, sizeof chunk)) > 0) {
    pending.append(chunk, static_cast<size_t>(got));
    size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      std::istringstream line(pending.substr(0, newline));
      pending.erase(0, newline + 1);
      std::string word;
      long pid = 0;
      int status = 0;
      line >> word;
      std::lock_guard lock(mutex_);
      if (word == "spawned" && line >> pid) {
        last_spawned_ = pid;
      } else if (word == "exited" && line >> pid >> status) {
        exits_.emplace_back(pid, status);
      } else if (word == "killed") {
        killed_ = true;
      }
      changed_.notify_all();
    }
  }
}

void Sandbox::log_receiver() {
  char datagram[8192];
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (closing_) return;
    }
    pollfd fd{log_socket_, POLLIN, 0};
    if (poll(&fd, 1, 50) <= 0) continue;
    // Taken in under the lock, so that settle_log() never sees a datagram
    // that has left the socket but is not in the log yet.
    std::lock_guard lock(mutex_);
    const ssize_t got = recv(log_socket_, datagram, sizeof datagram, MSG_DONTWAIT);
    if (got < 0) continue;
    log_.push_back(parse_log(std::string(datagram, static_cast<size_t>(got))));
    changed_.notify_all();
  }
}

bool Sandbox::start_daemon(const std::vector<std::string>& args, std::string* error,
                           int receive_error) {
  std::string line =
      receive_error != 0 ? "run-recv-fails\t" + std::to_string(receive_error) : "run";
  for (const std::string& word : programs().prefix) line += "\t" + word;
  line += std::string("\t") + kJailDaemon;
  for (const std::string& arg : args) line += "\t" + arg;
  if (!keeper_start(line, error)) return false;
  std::unique_lock lock(mutex_);
  const bool detached = changed_.wait_for(lock, 20s, [this] {
    for (const auto& [pid, status] : exits_) {
      if (pid == last_spawned_) return true;
    }
    return false;
  });
  if (!detached) *error = "the daemon did not detach within 20 s";
  return detached;
}

bool Sandbox::keeper_start(const std::string& line, std::string* error) {
  std::unique_lock lock(mutex_);
  exits_.clear();
  killed_ = false;
  last_spawned_ = -1;
  lock.unlock();
  if (!keeper_send(line)) {
    *error = "the jail's keeper is gone";
    return false;
  }
  return true;
}

std::optional<int> Sandbox::run_in_jail(const std::vector<std::string>& argv,
                                        std::chrono::milliseconds timeout) {
  // The keeper's standard output carries its reports: the program's output
  // goes to standard error instead.
  std::string line = "run\t/bin/sh\t-c\texec \"$@\" >&2\tsh";
  for (const std::string& arg : argv) line += "\t" + arg;
  std::string error;
  if (!keeper_start(line, &error)) return std::nullopt;
  std::unique_lock lock(mutex_);
  std::optional<int> status;
  changed_.wait_for(lock, timeout, [&] {
    for (const auto& [pid, code] : exits_) {
      if (pid == last_spawned_) status = code;
    }
    return status.has_value();
  });
  lock.unlock();
  if (!status) kill_daemon();
  return status;
}

bool Sandbox::wait_listening(std::chrono::milliseconds timeout) const {
  const std::string jail_net = "/proc/" + std::to_string(jail_init_pid_) + "/net";
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (!udp_socket_inodes(jail_net, orvo::kControlPort).empty()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

pid_t Sandbox::daemon_pid() const {
  const auto jail_pids = [](pid_t pid) {
    return read_link("/proc/" + std::to_string(pid) + "/ns/pid");
  };
  const std::string jail = jail_pids(jail_init_pid_);
  for (const pid_t pid : process_ids()) {
    if (jail_pids(pid) != jail) continue;
    // The daemon's command line names it as a whole argument (after the
    // prefix, if any); bwrap's own names it too, as a bind target.
    const std::vector<std::string> args = process_arguments(pid);
    if (args.empty() || args[0].find("bwrap") != std::string::npos ||
        std::find(args.begin(), args.end(), kJailDaemon) == args.end() || !process_running(pid)) {
      continue;
    }
    return pid;
  }
  return -1;
}

bool Sandbox::kill_daemon() {
  if (!keeper_send("killall")) return false;
  {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, 5s, [this] { return killed_; })) return false;
  }
  const auto deadline = Clock::now() + 5s;
  while (daemon_pid() != -1) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

std::optional<int> Sandbox::wait_daemon_exit(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  std::optional<int> status;
  changed_.wait_for(lock, timeout, [&] {
    for (const auto& [pid, code] : exits_) {
      if (pid != last_spawned_ || code != 0) {
        status = code;
        return true;
      }
    }
    return false;
  });
  return status;
}

int Sandbox::open_udp() const { return open_socket(SOCK_DGRAM); }

int Sandbox::open_socket(int type) const {
  if (net_ns_ < 0) return socket(AF_INET, type | SOCK_CLOEXEC, 0);
  // Namespaces are per thread: step into the jail's network, make the
  // socket there, step back. The socket stays in the jail's network.
  const int home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (home < 0 || setns(net_ns_, CLONE_NEWNET) != 0) {
    if (home >= 0) close(home);
    return -1;
  }
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  setns(home, CLONE_NEWNET);
  close(home);
  return fd;
}

std::optional<std::string> Sandbox::request(const std::string& datagram,
                                            std::chrono::milliseconds timeout) const {
  const int fd = open_udp();
  if (fd < 0) return std::nullopt;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(orvo::kControlPort);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::optional<std::string> reply;
  if (sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to),
             sizeof to) == static_cast<ssize_t>(datagram.size())) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(timeout.count())) == 1) {
      char buffer[65536];
      const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
      if (got >= 0) reply = std::string(buffer, static_cast<size_t>(got));
    }
  }
  close(fd);
  if (reply) settle_log();
  return reply;
}

void Sandbox::settle_log() const {
  // syslog() has queued its datagram on the log socket before the daemon
  // goes on to reply: once the socket is empty, the log holds all of it.
  const auto deadline = Clock::now() + 1s;
  std::unique_lock lock(mutex_);
  for (;;) {
    pollfd fd{log_socket_, POLLIN, 0};
    if (poll(&fd, 1, 0) <= 0 || Clock::now() > deadline) return;
    changed_.wait_for(lock, 2ms);
  }
}

RunResult Sandbox::run_in_network(const std::vector<std::string>& argv,
                                  std::chrono::milliseconds timeout) const {
  SpawnOptions in_jail_network;
  in_jail_network.net_ns = net_ns_;
  return run(argv, timeout, in_jail_network);
}

std::vector<LogEntry> Sandbox::log() const {
  std::lock_guard lock(mutex_);
  return log_;
}

bool Sandbox::wait_log(const std::string& message, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    for (const LogEntry& entry : log_) {
      if (entry.message == message) return true;
    }
    return false;
  });
}

}  // namespace sim
