#include "daemon/system/defaults.h"

#include <cerrno>

// Not built yet: refused until the command exists.
int cmd_defaults(int, char**) { return -EINVAL; }
