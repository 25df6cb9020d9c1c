#include "exporter/settings_folder.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gnutls/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include "exporter/probe.h"
#include "http/http.h"

namespace exporter {

namespace {

constexpr off_t kLargestSettingsFile = 1 << 20;

std::string hex(const unsigned char* bytes, size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

// The whole of an open plain file into file->text, with its hash and
// modification time: "" or why not.
std::string file_read(int fd, SettingsFile* file) {
  const std::string& name = file->name;
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    return "settings '" + name + "' is not a plain file";
  }
  if (status.st_size > kLargestSettingsFile) {
    return "settings file '" + name + "' is larger than 1 MiB";
  }
  char chunk[4096];
  ssize_t got;
  while ((got = read(fd, chunk, sizeof chunk)) > 0 &&
         file->text.size() <= static_cast<size_t>(kLargestSettingsFile)) {
    file->text.append(chunk, static_cast<size_t>(got));
  }
  if (got < 0) return "settings file '" + name + "' cannot be read (" + strerror(errno) + ")";
  if (file->text.size() > static_cast<size_t>(kLargestSettingsFile)) {
    return "settings file '" + name + "' is larger than 1 MiB";
  }
  unsigned char digest[32];
  if (gnutls_hash_fast(GNUTLS_DIG_SHA256, file->text.data(), file->text.size(), digest) != 0) {
    return "settings file '" + name + "' cannot be hashed";
  }
  file->sha256 = hex(digest, sizeof digest);
  file->modified = status.st_mtim.tv_sec;
  file->read = true;
  return "";
}

// What is wrong with the text of a file read whole, for a comparison.
std::string text_check(SettingsFile* file) {
  const std::string& name = file->name;
  const bool whole = file->text.empty() || file->text.back() == '\n';
  // The client's reader says what is wrong with a file, as orvo-udpc -a would.
  Failure failure;
  if (commands_take(file->text.data(), file->text.size(), &file->commands, &failure) != kStatusOk) {
    return failure.line > 0 ? name + ":" + std::to_string(failure.line) + ": " + failure.reason
                            : std::string(failure.reason);
  }
  // A file cut short says so first: its last line may be anything.
  if (!whole) {
    return "settings file '" + name + "' does not end with a line feed (being written?)";
  }
  std::string problem = settings_check(file->commands, name.c_str());
  if (!problem.empty()) return problem;
  if (file->commands.count == 0) {
    return "settings file '" + name + "' names no setting (empty, or being written)";
  }
  return "";
}

}  // namespace

std::string settings_name_check(const std::string& folder, const std::string& name) {
  if (folder.empty()) return "no --settings-dir given: settings= cannot be used";
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.size() > NAME_MAX) {
    return "settings '" + http::quotable(name) +
           "' is not the name of a file in the settings folder";
  }
  return "";
}

void settings_load(const std::string& folder_path, const std::string& name, SettingsFile* file) {
  file->name = name;
  file->problem = settings_name_check(folder_path, name);
  if (!file->problem.empty()) return;
  const int folder = open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) {
    const int error = errno;
    fprintf(stderr, "orvo-exporter: cannot open the settings folder %s: %s\n", folder_path.c_str(),
            strerror(error));
    file->problem = "the settings folder cannot be opened (" + std::string(strerror(error)) + ")";
    return;
  }
  // Only a plain file right in the folder: no link is followed, and a FIFO
  // or device is never waited on.
  const int fd =
      openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  const int error = errno;
  close(folder);
  if (fd < 0) {
    file->problem = error == ENOENT
                        ? "no settings file '" + name + "' in the settings folder"
                        : "settings file '" + name + "' cannot be opened (" +
                              std::string(error == ELOOP ? "a symbolic link" : strerror(error)) +
                              ")";
    return;
  }
  file->problem = file_read(fd, file);
  close(fd);
  if (file->problem.empty()) file->problem = text_check(file);
}

}  // namespace exporter
