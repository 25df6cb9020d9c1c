#include "daemon/system/version.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "daemon/server/reply.h"
#include "protocol/platform.h"

namespace {

constexpr size_t kVersionMax = 64;

// The version line without its line feed, in text; 0 or the failure.
int version_read(char (&text)[kVersionMax]) {
  // Non-blocking, so that a version "file" that is a pipe or a device with
  // nothing to say fails the request instead of stopping the daemon. Set at
  // open: a pipe without a writer would already block the open itself.
  const int fd = open(kVersionPath, O_RDONLY | O_NONBLOCK);
  if (fd < 0) {
    return -errno;
  }
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
  reply_format(0, "ACK VERSION %s\r", text);
  return 0;
}
