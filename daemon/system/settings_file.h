// Settings files, replaced whole so that a power cut never leaves half a file.
#pragma once

#include <cstddef>

#include "daemon/server/result.h"
#include "protocol/platform.h"

// Writes size bytes to a temporary file beside path (mode 0666 before the
// umask), syncs it and renames it over path. 0; -errno when the new file
// cannot be created; kResultNotSaved when it cannot be written whole (the old one is kept).
int settings_file_replace(const char* path, const void* data, std::size_t size);
