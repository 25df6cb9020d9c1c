#include "daemon/server/startup.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "daemon/dsp/param_store.h"
#include "daemon/led/effects.h"
#include "daemon/led/led_state.h"
#include "daemon/null/null_colours.h"
#include "daemon/server/log.h"
#include "daemon/server/request_loop.h"
#include "daemon/server/self_test.h"

int daemon_main(int argc, char** argv) {
  if (daemon(0, 0) < 0) {
    const int error = errno;
    fputs("failed to daemonize\n", stderr);
    return -error;
  }
  log_open();

  if (argc < 2 || strcmp(argv[1], "notest") != 0) {
    startup_self_test();
  }
  for (unsigned param = 0; param < kDspParamCount; ++param) {
    dsp_restore(param);
  }
  led_state_init();
  led_state_apply();
  null_colours_load();
  identify_start();

  int result = server_open();
  if (result != 0) {
    return result;
  }
  result = dsp_store(DSP_PARAM_13, kDspParam13Value);
  if (result != 0) {
    return result;
  }
  return server_run();
}
