#include "exporter/metrics.h"

#include <cstdio>

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

}  // namespace

// The text format escapes label values as the HTTP layer quotes a text.
std::string label_value(const char* text) { return http::quotable(text); }

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
