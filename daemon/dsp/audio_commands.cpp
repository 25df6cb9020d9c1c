#include "daemon/dsp/audio_commands.h"

#include <cerrno>

// Not built yet: refused until the command exists.
int cmd_tracking(int, char**) { return -EINVAL; }
int cmd_noisesup(int, char**) { return -EINVAL; }
int cmd_noisered(int, char**) { return -EINVAL; }
int cmd_apt(int, char**) { return -EINVAL; }
int cmd_eq(int, char**) { return -EINVAL; }
int cmd_dspstatus(int, char**) { return -EINVAL; }
int cmd_mictest(int, char**) { return -EINVAL; }
