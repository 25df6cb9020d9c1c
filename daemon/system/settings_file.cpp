#include "daemon/system/settings_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kPathMax = 128;

bool write_whole(int fd, const void* data, size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = write(fd, bytes, size);
    if (written <= 0) {
      if (written < 0 && errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// Makes the rename itself survive a power cut.
void sync_folder() {
  const int fd = open(kSettingsFolder, O_RDONLY | O_DIRECTORY);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

}  // namespace

int settings_file_replace(const char* path, const void* data, size_t size) {
  char temporary[kPathMax];
  const int length = snprintf(temporary, sizeof temporary, "%s.new", path);
  if (length < 0 || length >= kPathMax) {
    return -ENAMETOOLONG;
  }
  unlink(temporary);
  const int fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL, 0666);
  if (fd < 0) {
    return -errno;
  }
  const bool written = write_whole(fd, data, size) && fsync(fd) == 0;
  const bool closed = close(fd) == 0;
  if (!written || !closed || rename(temporary, path) != 0) {
    unlink(temporary);
    return kResultNotSaved;
  }
  sync_folder();
  return 0;
}
