#include "daemon/null/null_commands.h"

#include <cerrno>

// Not built yet: refused until the command exists.
int cmd_null(int, char**) { return -EINVAL; }
int cmd_nullmask(int, char**) { return -EINVAL; }
int cmd_actnulcol(int, char**) { return -EINVAL; }
