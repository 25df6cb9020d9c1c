#include "daemon/server/log.h"

#include <cstdarg>
#include <syslog.h>

void log_open() { openlog("orvo-udpd", 0, LOG_DAEMON); }

void log_error(const char* format, ...) {
  va_list values;
  va_start(values, format);
  vsyslog(LOG_ERR, format, values);
  va_end(values);
}
