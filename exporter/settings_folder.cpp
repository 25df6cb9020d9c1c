#include "exporter/settings_folder.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "exporter/probe.h"
#include "http/http.h"

namespace exporter {

namespace {

constexpr off_t kLargestSettingsFile = 1 << 20;

}  // namespace

std::string settings_load(const std::string& folder_path, const std::string& name,
                          SettingsFile* file) {
  if (folder_path.empty()) return "no --settings-dir given: settings= cannot be used";
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.size() > NAME_MAX) {
    return "settings '" + http::quotable(name) +
           "' is not the name of a file in the settings folder";
  }
  const int folder = open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) {
    const int error = errno;
    fprintf(stderr, "orvo-exporter: cannot open the settings folder %s: %s\n", folder_path.c_str(),
            strerror(error));
    return "the settings folder cannot be opened";
  }
  // Only a plain file right in the folder: no link is followed, and a FIFO
  // or device is never waited on.
  const int fd =
      openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  const int error = errno;
  close(folder);
  if (fd < 0) {
    return error == ENOENT
               ? "no settings file '" + name + "' in the settings folder"
               : "settings file '" + name + "' cannot be opened (" +
                     std::string(error == ELOOP ? "a symbolic link" : strerror(error)) + ")";
  }
  struct stat status;
  std::string problem;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    problem = "settings '" + name + "' is not a plain file";
  } else if (status.st_size > kLargestSettingsFile) {
    problem = "settings file '" + name + "' is larger than 1 MiB";
  } else {
    char chunk[4096];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0 &&
           file->text.size() <= static_cast<size_t>(kLargestSettingsFile)) {
      file->text.append(chunk, static_cast<size_t>(got));
    }
    if (got < 0) problem = "settings file '" + name + "' cannot be read (" + strerror(errno) + ")";
    if (file->text.size() > static_cast<size_t>(kLargestSettingsFile)) {
      problem = "settings file '" + name + "' is larger than 1 MiB";
    }
  }
  close(fd);
  if (!problem.empty()) return problem;
  // The client's reader says what is wrong with a file, as orvo-udpc -a would.
  Failure failure;
  if (commands_take(file->text.data(), file->text.size(), &file->commands, &failure) != kStatusOk) {
    return failure.line > 0 ? name + ":" + std::to_string(failure.line) + ": " + failure.reason
                            : std::string(failure.reason);
  }
  return settings_check(file->commands, name.c_str());
}

}  // namespace exporter
