// Fuzz target over what the exporter reads from outside and the text it
// writes of it. An input's lines are: the value of Prometheus' scrape
// time-out header; a query string (NAME=VALUE&...) for /probe's parameters;
// then the appliance's replies to the probe's queries in the order they are
// sent, each taken only when the client's reply matching takes it for the
// query's reply, as in a probe. No sockets and no files.
//
// Beside the sanitizers it checks what Prometheus and a JSON reader rely on:
//   - the metrics are valid UTF-8 in the text format: each line a HELP or
//     TYPE comment or a sample NAME{LABEL="VALUE",...} NUMBER, label values
//     escaped (backslash, quote, line feed) and nothing else raw in them;
//   - a JSON string is valid UTF-8, quoted, with no control character or
//     unescaped quote inside;
//   - the time-out is within its bounds; a settings name that is taken names
//     a file right in the folder.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/exchange.h"
#include "client/settings.h"
#include "exporter/metrics.h"
#include "exporter/probe.h"
#include "exporter/settings_folder.h"
#include "http/http.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& text) {
  fprintf(stderr, "exporter_fuzzer: %s: [%s]\n", what, text.c_str());
  abort();
}

bool name_char(char c, bool first) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' ||
         (!first && c >= '0' && c <= '9');
}

// One line of the text format; false when it is not one.
bool metric_line(const std::string& line) {
  if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) return true;
  size_t i = 0;
  while (i < line.size() && name_char(line[i], i == 0)) ++i;
  if (i == 0) return false;
  if (i < line.size() && line[i] == '{') {
    for (++i;;) {
      const size_t name = i;
      while (i < line.size() && name_char(line[i], i == name)) ++i;
      if (i == name || line.compare(i, 2, "=\"") != 0) return false;
      for (i += 2; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\') {
          if (++i == line.size() || (line[i] != '\\' && line[i] != '"' && line[i] != 'n'))
            return false;
        } else if (static_cast<unsigned char>(line[i]) < ' ') {
          return false;
        }
      }
      if (i++ == line.size()) return false;
      if (i < line.size() && line[i] == ',') {
        ++i;
        continue;
      }
      if (i == line.size() || line[i++] != '}') return false;
      break;
    }
  }
  if (i == line.size() || line[i++] != ' ' || i == line.size()) return false;
  char* end;
  strtod(line.c_str() + i, &end);
  return *end == '\0';
}

void check_metrics(const std::string& text) {
  if (http::utf8_valid(text) != text) fail("metrics not UTF-8", text);
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = text.substr(start, end - start);
    if (!metric_line(line)) fail("not a line of the text format", line);
  }
  if (start != text.size()) fail("metrics without a final line feed", text);
}

void check_json(const std::string& text) {
  const std::string json = http::json_string(text);
  if (http::utf8_valid(json) != json) fail("JSON string not UTF-8", json);
  if (json.size() < 2 || json.front() != '"' || json.back() != '"') fail("not quoted", json);
  for (size_t i = 1; i + 1 < json.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(json[i]);
    if (c < ' ') fail("control character in a JSON string", json);
    if (c == '\\') {
      ++i;
    } else if (c == '"') {
      fail("unescaped quote in a JSON string", json);
    }
  }
}

// "a=b&c&d=e" as the HTTP library hands a query over: valid with a value.
std::vector<http::Parameter> query_split(const std::string& text) {
  std::vector<http::Parameter> query;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find('&', start);
    const std::string part = text.substr(start, end - start);
    const size_t equals = part.find('=');
    const std::string value = equals != std::string::npos ? part.substr(equals + 1) : "";
    query.push_back({part.substr(0, equals), value,
                     equals != std::string::npos && value.find('\0') == std::string::npos});
    if (end == std::string::npos) return query;
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> lines;
  for (size_t start = 0;;) {
    const size_t end = input.find('\n', start);
    lines.push_back(input.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }

  // The scrape's time-out.
  std::string why;
  const int timeout_ms = exporter::probe_timeout_ms(5000, &lines[0], &why);
  if (timeout_ms < exporter::kShortestProbeMs || timeout_ms > 5000) fail("time-out", lines[0]);

  // /probe's parameters, and a settings name as the handler takes it.
  if (lines.size() > 1) {
    http::Request request{"/probe", query_split(lines[1])};
    request.headers.push_back({"X-Prometheus-Scrape-Timeout-Seconds", lines[0], true});
    const std::string* header = http::header(request, "x-prometheus-scrape-timeout-seconds");
    if (header == nullptr || *header != lines[0]) fail("header not found", lines[0]);
    http::Parameters parameters;
    if (http::parameters_read(request, {"target", "settings", "debug"}, &parameters).empty() &&
        parameters.given[1] &&
        exporter::settings_name_check("/nonexistent", parameters.value[1]).empty()) {
      const std::string& name = parameters.value[1];
      if (name.find('/') != std::string::npos || name == "." || name == ".." || name.empty())
        fail("a settings name outside the folder taken", name);
    }
  }

  // The replies of an appliance, and the metrics of them.
  static const struct Queries {
    const char* line[exporter::kProbeReplies];
    Queries() {
      line[0] = "VERSION";
      line[1] = "DSPSTATUS";
      for (int q = 0; q < kSettingsQueryCount; ++q) line[2 + q] = kSettingsQueries[q];
    }
  } queries;
  char* replies[exporter::kProbeReplies] = {};
  for (size_t i = 2; i < lines.size() && i - 2 < exporter::kProbeReplies; ++i) {
    const std::string& reply = lines[i];
    if (reply_match(queries.line[i - 2], reply.c_str(), reply.size()) == kReplyAck) {
      replies[i - 2] = strdup(reply.c_str());
    }
  }
  ApplianceSettings now{};
  std::string out;
  exporter::readings_metrics(replies, &now, &out);
  for (char* reply : replies) free(reply);
  check_metrics(out);

  // The writers on every line as it is.
  for (const std::string& line : lines) {
    std::string one;
    exporter::sample(&one, "orvo_x", {{"label", line}, {"other", line}}, 1);
    check_metrics(one);
    check_json(line);
  }
  return 0;
}
