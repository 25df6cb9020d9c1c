#include "sim/process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace sim {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Descriptors of the parent are lifted this high before they are put in
// place, so that none is overwritten before it has been moved.
constexpr int kLiftedFds = 64;

}  // namespace

pid_t start_child(const SpawnOptions& options, const std::function<void()>& body) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  // The child of a process with threads: async-signal-safe calls only.
  if (options.die_with_parent) prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (options.net_ns >= 0 && setns(options.net_ns, CLONE_NEWNET) != 0) _exit(126);
  const int wanted[] = {options.in, options.out, options.err, options.fd3};
  int lifted[4];
  for (int fd = 0; fd < 4; ++fd) {
    lifted[fd] = wanted[fd] >= 0 ? fcntl(wanted[fd], F_DUPFD_CLOEXEC, kLiftedFds) : -1;
  }
  for (int fd = 0; fd < 4; ++fd) {
    if (wanted[fd] >= 0 && (lifted[fd] < 0 || dup2(lifted[fd], fd) < 0)) _exit(126);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (options.prepare && !options.prepare()) _exit(126);
  body();
  _exit(0);
}

pid_t spawn(const std::vector<std::string>& argv, const SpawnOptions& options) {
  if (argv.empty()) {
    errno = EINVAL;
    return -1;
  }
  // Everything the child needs is made before it exists.
  std::vector<std::string> words = argv;
  std::vector<char*> args;
  for (std::string& word : words) args.push_back(word.data());
  args.push_back(nullptr);
  return start_child(options, [&] {
    execv(args[0], args.data());
    _exit(127);
  });
}

int exit_status(int wait_status) {
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

std::optional<int> wait_exit(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t ended = waitpid(pid, &status, WNOHANG);
    if (ended == pid) return exit_status(status);
    if (ended < 0 || Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(5ms);
  }
}

void kill_child(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

RunResult run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
              SpawnOptions options) {
  RunResult result;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return result;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return result;
  }
  const int nothing = open("/dev/null", O_RDONLY | O_CLOEXEC);
  options.in = nothing;
  options.out = out[1];
  options.err = err[1];
  const auto started = Clock::now();
  const pid_t pid = spawn(argv, options);
  for (int fd : {nothing, out[1], err[1]}) {
    if (fd >= 0) close(fd);
  }
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open_pipes = 2;
  const auto deadline = started + timeout;
  while (pid > 0 && open_pipes > 0 && Clock::now() < deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (poll(fds, 2, static_cast<int>(left.count()) + 1) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[4096];
      const ssize_t got = read(fds[i].fd, chunk, sizeof chunk);
      if (got <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_pipes;
      } else {
        (i == 0 ? result.out : result.err).append(chunk, static_cast<size_t>(got));
      }
    }
  }
  for (pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  if (pid > 0 && open_pipes > 0) {
    kill_child(pid);
  } else if (pid > 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = exit_status(status);
  }
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
  return result;
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string read_link(const std::string& path) {
  char target[256];
  const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
  return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
}

std::vector<pid_t> process_ids() {
  std::vector<pid_t> pids;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return pids;
  while (const dirent* entry = readdir(proc)) {
    const pid_t pid = atoi(entry->d_name);
    if (pid > 0) pids.push_back(pid);
  }
  closedir(proc);
  return pids;
}

std::vector<std::string> process_arguments(pid_t pid) {
  std::vector<std::string> args;
  std::istringstream cmdline(read_text("/proc/" + std::to_string(pid) + "/cmdline"));
  for (std::string arg; std::getline(cmdline, arg, '\0');) args.push_back(arg);
  return args;
}

bool process_running(pid_t pid) {
  // The state follows the name, which is in parentheses and may hold any.
  const std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

std::vector<std::string> udp_socket_inodes(const std::string& proc_net, std::uint16_t port) {
  char local_port[8];
  snprintf(local_port, sizeof local_port, ":%04X", port);
  std::vector<std::string> inodes;
  for (const char* table : {"/udp", "/udp6"}) {
    std::istringstream lines(read_text(proc_net + table));
    std::string line;
    std::getline(lines, line);  // the heading
    while (std::getline(lines, line)) {
      std::istringstream words(line);
      std::vector<std::string> fields;
      for (std::string word; words >> word;) fields.push_back(word);
      if (fields.size() > 9 && fields[1].ends_with(local_port)) inodes.push_back(fields[9]);
    }
  }
  return inodes;
}

}  // namespace sim
