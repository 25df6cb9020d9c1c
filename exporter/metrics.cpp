#include "exporter/metrics.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <unistd.h>
#include <vector>

#include "http/http.h"

namespace exporter {

namespace {

void series(std::string* out, const char* name, std::initializer_list<Label> labels) {
  *out += name;
  if (labels.size() == 0) return;
  char separator = '{';
  for (const Label& label : labels) {
    *out += separator;
    *out += label.name;
    *out += "=\"";
    *out += label_value(label.value.c_str());
    *out += '"';
    separator = ',';
  }
  *out += '}';
}

// A small file of /proc whole, or "".
std::string proc_read(const char* path) {
  std::string text;
  FILE* file = fopen(path, "re");
  if (file == nullptr) return text;
  char chunk[1024];
  for (size_t got; (got = fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, got);
  fclose(file);
  return text;
}

// The number after "btime " in /proc/stat: when the system started, in
// seconds since the epoch; -1 when unknown.
long long boot_time() {
  const std::string text = proc_read("/proc/stat");
  const size_t at = text.find("\nbtime ");
  return at != std::string::npos ? strtoll(text.c_str() + at + 7, nullptr, 10) : -1;
}

int open_descriptors() {
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(folder)) count += entry->d_name[0] != '.';
  closedir(folder);
  return count - 1;  // not the folder's own
}

}  // namespace

// The text format escapes label values as the HTTP layer quotes a text; a
// value that is not UTF-8 would make Prometheus refuse the whole scrape.
std::string label_value(const char* text) { return http::quotable(http::utf8_valid(text)); }

void family(std::string* out, const char* name, const char* type, const char* help) {
  *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void sample(std::string* out, const char* name, std::initializer_list<Label> labels,
            long long value) {
  series(out, name, labels);
  *out += ' ';
  *out += std::to_string(value);
  *out += '\n';
}

void sample(std::string* out, const char* name, std::initializer_list<Label> labels, double value,
            int decimals) {
  series(out, name, labels);
  char text[64];
  snprintf(text, sizeof text, " %.*f\n", decimals, value);
  *out += text;
}

void single(std::string* out, const char* name, const char* type, const char* help,
            long long value) {
  family(out, name, type, help);
  sample(out, name, {}, value);
}

}  // namespace exporter

namespace exporter {

void process_metrics(std::string* out) {
  // /proc/self/stat: after the command's name in parentheses, the fields
  // from the third (the state) on: utime the 14th and stime the 15th (clock
  // ticks), starttime the 22nd (ticks after boot), rss the 24th (pages).
  const std::string stat = proc_read("/proc/self/stat");
  const size_t name_end = stat.rfind(')');
  std::vector<std::string> fields = {"", "", ""};
  for (size_t at = name_end; at != std::string::npos && at + 1 < stat.size();) {
    const size_t next = stat.find(' ', at + 1);
    if (at != name_end) fields.push_back(stat.substr(at + 1, next - at - 1));
    at = next;
  }
  const auto field = [&fields](size_t n) { return strtoull(fields[n].c_str(), nullptr, 10); };
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  const long long page = sysconf(_SC_PAGESIZE);
  const long long boot = boot_time();
  if (name_end != std::string::npos && fields.size() > 24 && ticks > 0) {
    family(out, "process_cpu_seconds_total", "counter", "User and system CPU time, in seconds.");
    sample(out, "process_cpu_seconds_total", {}, static_cast<double>(field(14) + field(15)) / ticks,
           2);
    single(out, "process_resident_memory_bytes", "gauge", "Resident memory, in bytes.",
           static_cast<long long>(field(24)) * page);
    if (boot >= 0) {
      family(out, "process_start_time_seconds", "gauge",
             "When the process started, in seconds since the epoch.");
      sample(out, "process_start_time_seconds", {},
             static_cast<double>(boot) + static_cast<double>(field(22)) / ticks, 2);
    }
  }
  const int descriptors = open_descriptors();
  if (descriptors >= 0) {
    single(out, "process_open_fds", "gauge", "Open file descriptors.", descriptors);
  }
}

}  // namespace exporter
