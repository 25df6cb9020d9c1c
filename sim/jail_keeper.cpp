// jail-keeper: the first program inside an appliance sandbox. It starts
// programs on request, adopts whatever they leave behind (the daemon detaches
// itself) and reports every exit, so that whoever drives the sandbox learns
// the daemon's exit status. The sandbox ends when its control input closes.
//
// Input lines, fields separated by tabs:
//   run ARG0 ARG1 ...            start a program
//   run-recv-fails ERRNO ARG0 ...  start it with every recvfrom failing
//   killall                      kill every other process of the sandbox
// Output lines: "spawned PID", "exited PID STATUS" (128 + signal when killed
// by a signal), "killed".

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "sim/process.h"

namespace {

void report(const char* format, long a, long b = 0) {
  printf(format, a, b);
  fflush(stdout);
}

// Makes recvfrom (and recvmsg) fail with the given errno in this process and
// everything it starts, so that a receive failure can be provoked from outside.
bool fail_receives(int error) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_recvfrom, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_recvmsg, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) & 0xFFFF)),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

void start(const std::vector<std::string>& argv, int receive_error) {
  sim::SpawnOptions options;
  if (receive_error != 0) {
    options.prepare = [receive_error] { return fail_receives(receive_error); };
  }
  report("spawned %ld\n", sim::spawn(argv, options));
}

void reap() {
  int status;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
    report("exited %ld %ld\n", pid, sim::exit_status(status));
  }
}

std::vector<std::string> split(const std::string& line) {
  std::vector<std::string> fields;
  size_t begin = 0;
  for (;;) {
    const size_t tab = line.find('\t', begin);
    fields.push_back(line.substr(begin, tab - begin));
    if (tab == std::string::npos) return fields;
    begin = tab + 1;
  }
}

void command(const std::string& line) {
  std::vector<std::string> fields = split(line);
  const std::string verb = fields[0];
  fields.erase(fields.begin());
  if (verb == "run" && !fields.empty()) {
    start(fields, 0);
  } else if (verb == "run-recv-fails" && fields.size() >= 2) {
    const int error = atoi(fields[0].c_str());
    fields.erase(fields.begin());
    start(fields, error);
  } else if (verb == "killall") {
    kill(-1, SIGKILL);
    puts("killed");
    fflush(stdout);
  } else {
    fprintf(stderr, "jail-keeper: unknown command '%s'\n", line.c_str());
  }
}

}  // namespace

int main() {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  sigset_t children;
  sigemptyset(&children);
  sigaddset(&children, SIGCHLD);
  sigprocmask(SIG_BLOCK, &children, nullptr);
  const int signals = signalfd(-1, &children, SFD_CLOEXEC);

  std::string pending;
  for (;;) {
    pollfd fds[2] = {{0, POLLIN, 0}, {signals, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (fds[1].revents & POLLIN) {
      signalfd_siginfo info;
      if (read(signals, &info, sizeof info) < 0) return 1;
      reap();
    }
    if (fds[0].revents & (POLLIN | POLLHUP)) {
      char chunk[4096];
      const ssize_t got = read(0, chunk, sizeof chunk);
      if (got <= 0) return 0;  // the driver is gone: the sandbox ends
      pending.append(chunk, static_cast<size_t>(got));
      size_t newline;
      while ((newline = pending.find('\n')) != std::string::npos) {
        command(pending.substr(0, newline));
        pending.erase(0, newline + 1);
      }
    }
  }
}
