#include <cstdio>
#include <cstdlib>

#include "client/settings.h"
#include "client/snapshot_form.h"

namespace {

// Writes to a stream.
struct Stream {
  FILE* file;
  template <typename... Values>
  void print(const char* format, Values... values) {
    fprintf(file, format, values...);
  }
  void put(const char* text) {
    fputs(text, file);
    fputc('\n', file);
  }
};

}  // namespace

char* settings_text(const char* host, const ApplianceSettings& settings) {
  char* text = nullptr;
  size_t size = 0;
  FILE* file = open_memstream(&text, &size);
  if (file == nullptr) return nullptr;
  Stream out{file};
  snapshot_form(out, host, settings);
  const bool failed = ferror(file) != 0;
  if (fclose(file) != 0 || failed) {
    free(text);
    return nullptr;
  }
  return text;
}
