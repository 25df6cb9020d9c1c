// Settings files, replaced whole so that a power cut never leaves half a file.
#pragma once

#include <cstddef>

#include "protocol/platform.h"

enum class SettingsWrite {
  ok,
  create_failed,  // the new file could not be created; errno tells why
  write_failed,   // it could not be written whole; the old file is kept
};

// Writes size bytes to a temporary file beside path (mode 0666 before the
// umask), syncs it and renames it over path.
SettingsWrite settings_file_replace(const char* path, const void* data, std::size_t size);
