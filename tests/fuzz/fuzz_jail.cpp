// fuzz-jail: runs the request fuzzer inside a fresh appliance sandbox.
//
//   fuzz-jail [-t SECONDS] FUZZER WORKDIR [FUZZER ARGUMENTS...]
//
// FUZZER is mounted read-only at /opt/orvo/request-fuzzer and WORKDIR
// writable at /fuzz, so arguments name the corpus and artifact folders under
// /fuzz. The fuzzer's output goes to standard error; the exit status is the
// fuzzer's (2 when it could not run, 124 when it outlived SECONDS, default
// 900). Needs root and bubblewrap, like every sandbox.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "sim/sandbox.h"

int main(int argc, char** argv) {
  int arg = 1;
  long seconds = 900;
  if (arg + 1 < argc && strcmp(argv[arg], "-t") == 0) {
    seconds = strtol(argv[arg + 1], nullptr, 10);
    arg += 2;
  }
  if (argc - arg < 2 || seconds <= 0) {
    fputs("usage: fuzz-jail [-t SECONDS] FUZZER WORKDIR [FUZZER ARGUMENTS...]\n", stderr);
    return 2;
  }
  // The sandbox's LED and settings files on a memory file system: rewriting
  // them on a disk costs I/O that the appliance's sysfs does not.
  struct stat shm;
  if (stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode)) setenv("TMPDIR", "/dev/shm", 1);
  sim::SandboxOptions options;
  options.binds.push_back({argv[arg], "/opt/orvo/request-fuzzer", false});
  options.binds.push_back({argv[arg + 1], "/fuzz", true});
  std::string error;
  const std::unique_ptr<sim::Sandbox> box = sim::Sandbox::create(options, &error);
  if (!box) {
    fprintf(stderr, "fuzz-jail: %s\n", error.c_str());
    return 2;
  }
  std::vector<std::string> command = {"/opt/orvo/request-fuzzer"};
  for (int i = arg + 2; i < argc; ++i) command.push_back(argv[i]);
  const std::optional<int> status = box->run_in_jail(command, std::chrono::seconds(seconds));
  if (!status) {
    fprintf(stderr, "fuzz-jail: the fuzzer did not end within %ld s\n", seconds);
    return 124;
  }
  return *status;
}
