#include "daemon/system/version.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "daemon/server/request_loop.h"
#include "protocol/platform.h"

namespace {

constexpr size_t kVersionMax = 64;

// The version line without its line feed, in text; 0 or the failure.
int version_read(char (&text)[kVersionMax]) {
  const int fd = open(kVersionPath, O_RDONLY);
  if (fd < 0) {
    return -errno;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  const ssize_t length = read(fd, text, kVersionMax);
  const int error = errno;
  close(fd);
  if (length < 0) {
    return -error;
  }
  if (length == 0 || text[length - 1] != '\n') {
    return -EINVAL;
  }
  text[length - 1] = '\0';
  return 0;
}

}  // namespace

int cmd_version(int argc, char**) {
  if (argc != 1) {
    return -EINVAL;
  }
  char text[kVersionMax];
  const int result = version_read(text);
  if (result != 0) {
    return result;
  }
  snprintf(reply_buffer, sizeof reply_buffer, "ACK VERSION %s\r", text);
  return send_reply(reply_buffer);
}
