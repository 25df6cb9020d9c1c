// The Prometheus text format (version 0.0.4), written in one place: a family
// (HELP and TYPE), its samples with their labels, label values escaped.
#pragma once

#include <initializer_list>
#include <string>

namespace exporter {

// The metrics' content type.
inline constexpr const char kMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";

struct Label {
  const char* name;
  std::string value;  // as it is: escaped when written
};

// A label value as the text format writes it: valid UTF-8 (what is not
// becomes U+FFFD), backslash, quote and line feed escaped, other control
// characters as spaces.
std::string label_value(const char* text);

// "# HELP name help" and "# TYPE name type" (gauge, counter).
void family(std::string* out, const char* name, const char* type, const char* help);
// "name{label="value",...} value"; decimals for a value with a fraction.
void sample(std::string* out, const char* name, std::initializer_list<Label> labels,
            long long value);
void sample(std::string* out, const char* name, std::initializer_list<Label> labels, double value,
            int decimals);
// A family of one sample without labels.
void single(std::string* out, const char* name, const char* type, const char* help,
            long long value);

// The process's own metrics, as Prometheus' client libraries name them:
// resident memory, CPU time, open descriptors and start time, read from
// /proc/self (those that cannot be read are left out).
void process_metrics(std::string* out);

}  // namespace exporter
