// orvo-dspsim: serves the DSP mailbox in a window file (a stand-in for
// /dev/mem) until SIGINT or SIGTERM, so that a daemon outside the sandbox (in
// a container booted by the system test) has its DSP, or so that a board
// without the DSP (the emulated one of the board test) has one behind the
// real /dev/mem.
//
//   orvo-dspsim --mem PATH     serves PATH, made (sparse) when it is missing;
//                              a device node (/dev/mem) is served as it is
//   orvo-dspsim --make PATH    only makes PATH, as large as the window needs

#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "sim/dsp_standin.h"

int main(int argc, char** argv) {
  const bool serve = argc == 3 && strcmp(argv[1], "--mem") == 0;
  if (argc != 3 || (!serve && strcmp(argv[1], "--make") != 0)) {
    fputs("usage: orvo-dspsim --mem PATH | --make PATH\n", stderr);
    return 2;
  }
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  // Blocked before the serving thread starts, so that only sigwait takes them.
  sigprocmask(SIG_BLOCK, &stop, nullptr);
  struct stat node {};
  const bool device = serve && stat(argv[2], &node) == 0 && S_ISCHR(node.st_mode);
  if (!device && dsp_standin_make_mem(argv[2]) != 0) {
    perror("orvo-dspsim: cannot make the window file");
    return 1;
  }
  if (!serve) {
    return 0;
  }
  DspStandin* dsp = dsp_standin_start(argv[2], DspStandinConfig{});
  if (dsp == nullptr) {
    perror("orvo-dspsim: cannot serve the window file");
    return 1;
  }
  int signal = 0;
  sigwait(&stop, &signal);
  dsp_standin_stop(dsp);
  return 0;
}
