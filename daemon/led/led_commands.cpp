#include "daemon/led/led_commands.h"

#include <cerrno>

// Not built yet: refused until the command exists.
int cmd_sts(int, char**) { return -EINVAL; }
int cmd_gts(int, char**) { return -EINVAL; }
int cmd_stsb(int, char**) { return -EINVAL; }
int cmd_gtsb(int, char**) { return -EINVAL; }
int cmd_srgb(int, char**) { return -EINVAL; }
int cmd_grgb(int, char**) { return -EINVAL; }
